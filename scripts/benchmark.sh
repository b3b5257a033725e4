#!/bin/bash
# Prints start-up and whole-road figures and program sizes (a benchmark, not a test).
# Usage: scripts/benchmark.sh [RUNS [ENGINE_RUNS]]   (after a build, as 'make benchmark' does)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/out/mingw/bin
runs=${1:-30}
engine_runs=${2:-10}
source "$root/scripts/wine-prefix.sh"
install_powershell_engine "$root/out/tools/powershell-engine"
# The start-up figures time the programs alone, with the recording stand-in.
cp "$bin/powershell-standin.exe" "$powershell_home/powershell.exe"

c=$WINEPREFIX/drive_c
mkdir -p "$c/bench/bridge" "$c/bench/updater" "$c/bench/records"
export STANDIN_RECORD_DIR='C:\bench\records'

echo "== prelaunch-bridge: its start to the controller's start, four pinned files at their maximum sizes"
cp "$bin/prelaunch-bridge-max-size.exe" "$c/bench/bridge/prelaunch-bridge.exe"
cp "$root/out/mingw/tests/max-size-pins"/* "$c/bench/bridge/"
wine "$bin/start-bench.exe" 'C:\bench\bridge\prelaunch-bridge.exe' \
  'C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe' 'C:\bench\records\started.txt' "$runs" 2>&1 |
  grep -v '^standin '

echo "== auto-updater: a start without --gamedir to the Java stand-in's start"
cp "$bin/auto-updater.exe" "$c/bench/updater/"
cp "$bin/java-standin.exe" "$c/bench/java.exe"
wine reg add 'HKCU\Software\Morvellane\Tinderwick' /v JavaExecutable /t REG_SZ /d 'C:\bench\java.exe' /f >/dev/null 2>&1
wine "$bin/start-bench.exe" 'C:\bench\updater\auto-updater.exe' 'C:\bench\java.exe' \
  'C:\bench\records\java-started.txt' "$runs"

echo "== whole roads with PowerShell 7 for Windows standing in for Windows PowerShell 5.1"
cp "$powershell_home/powershell-engine.exe" "$powershell_home/powershell.exe"
mkdir -p "$c/bench/shipped" "$c/bench/profile"
cp "$root"/dist/* "$c/bench/shipped/"
(cd "$c" && wine "$bin/road-bench.exe" 'C:\bench\shipped\prelaunch-bridge.exe' 'C:\bench\shipped\auto-updater.exe' \
  'C:\bench\java.exe' 'C:\bench\profile' "$engine_runs" 2>/dev/null | grep -v '^Morvellane ')

echo "== sizes"
printf '  prelaunch-bridge.exe: %d bytes\n' "$(stat -c %s "$bin/prelaunch-bridge.exe")"
printf '  auto-updater.exe: %d bytes with its resources, %d bytes without\n' \
  "$(stat -c %s "$bin/auto-updater.exe")" "$(stat -c %s "$bin/auto-updater-without-resources.exe")"
