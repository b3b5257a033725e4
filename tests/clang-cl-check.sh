#!/bin/bash
# clang-cl-check.sh SOURCE_DIR OBJDUMP: both programs under MSVC's rules
# against the Windows SDK's own headers (the clang-cl preset, in out/clang-cl),
# warnings as errors. The bridge is compiled (no MSVC runtime library is at
# hand to link it); the runtime-free updater is linked, its imports are
# checked, and it runs once under Wine with no registry value: exit code 1.
set -euo pipefail
cd "$1"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake --preset clang-cl && cmake --build --preset clang-cl -j2; } >"$log" 2>&1; then
  cat "$log"; exit 1
fi
updater=out/clang-cl/bin/auto-updater.exe
tests/check-imports.sh "$2" "$updater" "KERNEL32.dll USER32.dll ADVAPI32.dll SHELL32.dll"

wine reg delete 'HKCU\Software\Morvellane\Tinderwick' /v JavaExecutable /f >/dev/null 2>&1 || true
# Without a display the missing-Java message box returns at once.
status=0
env -u DISPLAY wine "$updater" >/dev/null 2>&1 || status=$?
echo "exit code without a registry value: $status"
[ "$status" -eq 1 ]
