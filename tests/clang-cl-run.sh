#!/bin/bash
# clang-cl-run.sh SOURCE_DIR: the updater of the clang-cl build (clang-cl-check.sh)
# runs once under Wine with no registry value: exit code 1.
set -euo pipefail
cd "$1"
wine reg delete 'HKCU\Software\Morvellane\Tinderwick' /v JavaExecutable /f >/dev/null 2>&1 || true
# Without a display the missing-Java message box returns at once.
status=0
env -u DISPLAY wine out/clang-cl/bin/auto-updater.exe >/dev/null 2>&1 || status=$?
echo "exit code without a registry value: $status"
[ "$status" -eq 1 ]
