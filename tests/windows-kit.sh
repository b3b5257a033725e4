#!/bin/bash
# The Windows kit's runner under Wine, through the prefix's powershell.exe (the
# test engine), with the tests taking their Windows branches. First, the
# record that a run stopped hard leaves behind: the next run puts it back
# before anything else, and runs nothing when it cannot; then a Pester file
# broken in discovery and a group that hangs, each of which must fail. The
# last run, with the runner arguments given, must have taken the tests'
# Windows branches: a test that needs the stand-in skips there, saying so.
# Usage: tests/windows-kit.sh KIT_DIR RESULTS_DIR [runner arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows_path() { local path; path=$(cd "$1" && pwd); echo "Z:${path//\//\\}"; }
kit_dir=$1
kit=$(windows_path "$kit_dir")
results_dir=$2
mkdir -p "$results_dir"
results=$(windows_path "$results_dir")
shift 2
export MORVELLANE_TESTS_AS_WINDOWS=1 WINEDEBUG=-all
# Wine's note on the Z: drive's volume label is no test output.
run_kit() {
  wine 'C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe' -NoLogo -NoProfile -NonInteractive \
    -ExecutionPolicy Bypass -File "$kit\\Run-WindowsKit.ps1" -Results "$results" "$@" \
    2> >(grep -v '^wine: Read access denied for device' >&2)
}
fail() { echo "windows-kit.sh: $*"; exit 1; }

java_key='HKCU\Software\Morvellane\Tinderwick'
state=$WINEPREFIX/drive_c/ProgramData/Morvellane/windows-kit-machine-state.clixml
# A stopped run's record, as the runner writes it: the Java value it found.
plant_state() {
  mkdir -p "$(dirname "$state")"
  "$root/out/tools/pwsh" -NoLogo -NoProfile -NonInteractive -Command "@{ LeftoversBefore = @(); RegistryValues = @(
    @{ Path = 'HKEY_CURRENT_USER\Software\Morvellane\Tinderwick'; Name = 'JavaExecutable'; Exists = \$true
       Kind = '$1'; Data = '$2'; FirstMissingKey = \$null }) } | Export-Clixml -LiteralPath '$state'"
}

# Failures that once went unseen: a Pester file that fails in discovery (run
# here on the host's PowerShell), and a group that does not end.
tests=$kit_dir/powershell
parameters='param($Pwsh, $PrelaunchScript, $ControllerDirectory, $BootstrapScript, $UpdaterProgram)'
printf '%s\n' "$parameters" "throw 'broken in discovery'" > "$tests/KitBroken.Tests.ps1"
printf '%s\n' "$parameters" 'Start-Sleep -Seconds 600' > "$tests/KitHangs.Tests.ps1"
status=0
output=$("$root/out/tools/pwsh" -NoLogo -NoProfile -NonInteractive -File "$tests/run-pester.ps1" \
  -Pwsh "$root/out/tools/pwsh" -PesterModule "$kit_dir/pester/Pester.psd1" -PrelaunchScript none -ControllerDirectory none \
  -Filter KitBroken.Tests.ps1 -ResultFile "$results_dir/broken.xml") || status=$?
[ "$status" -eq 1 ] && grep -q '^0 passed, 1 failed' <<<"$output" && grep -q 'broken in discovery' "$results_dir/broken.xml" ||
  fail "a Pester file that fails in discovery passed (exit code $status): $output"
status=0
output=$(run_kit -Group powershell-scripts -TestFilter KitHangs -GroupMinutes 0.02) || status=$?
rm -f "$tests/KitBroken.Tests.ps1" "$tests/KitHangs.Tests.ps1"
[ "$status" -eq 1 ] && grep -q '^powershell-scripts: 0 passed, 1 failed' <<<"$output" &&
  grep -q 'had not ended after 0.02 minutes' "$results_dir/powershell-scripts.log" ||
  fail "a group that does not end was not ended and failed (exit code $status): $output"

plant_state NoSuchKind 'C:\never'
status=0
output=$(run_kit -Group bridge) || status=$?
[ "$status" -eq 1 ] && grep -qF "could not put back $java_key" <<<"${output//HKEY_CURRENT_USER/HKCU}" ||
  fail "a record that cannot be put back ran on (exit code $status): $output"

wine reg add "$java_key" /v JavaExecutable /t REG_SZ /d 'C:\left-by-a-stopped-run' /f >/dev/null 2>&1
plant_state String 'C:\before-a-stopped-run'
status=0
run_kit "$@" | tee "$results_dir/runner.txt" || status=$?
grep -q '^An earlier run was stopped' "$results_dir/runner.txt" || fail "the stopped run's record was not put back"
wine reg query "$java_key" /v JavaExecutable 2>/dev/null | grep -q 'C:\\before-a-stopped-run' ||
  fail "the Java value is not the one the stopped run found"
[ ! -e "$state" ] || fail "the record is still there after a whole run"
grep -q 'needs the recording PowerShell stand-in' "$results_dir/bridge.xml" 2>/dev/null ||
  fail "the bridge's tests did not take their Windows branches"
exit "$status"
