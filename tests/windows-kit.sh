#!/bin/bash
# The Windows kit's runner under Wine, through the prefix's powershell.exe (the
# test engine), with the tests taking their Windows branches.
# Usage: tests/windows-kit.sh KIT_DIR RESULTS_DIR [runner arguments...]
set -euo pipefail
windows_path() { local path; path=$(cd "$1" && pwd); echo "Z:${path//\//\\}"; }
kit=$(windows_path "$1")
mkdir -p "$2"
results=$(windows_path "$2")
shift 2
export MORVELLANE_TESTS_AS_WINDOWS=1 WINEDEBUG=-all
# Wine's note on the Z: drive's volume label is no test output.
wine 'C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe' -NoLogo -NoProfile -NonInteractive \
  -ExecutionPolicy Bypass -File "$kit\\Run-WindowsKit.ps1" -Results "$results" "$@" \
  2> >(grep -v '^wine: Read access denied for device' >&2)
