#!/bin/bash
# Shows the programs in dist/ running under Wine, as a launcher would run them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$root/dist
bin=$root/out/mingw/bin
source "$root/scripts/wine-prefix.sh"
install_powershell_standin "$bin/powershell-standin.exe"

package=$WINEPREFIX/drive_c/Games/Morvellane
mkdir -p "$package"
cp "$dist"/* "$package"/
bridge='C:\Games\Morvellane\prelaunch-bridge.exe'

run_bridge() {
  local status=0
  wine "$bridge" "$@" 2>"$WINEPREFIX/stderr.txt" || status=$?
  echo "  exit code: $status"
  sed 's/^/  stderr: /' "$WINEPREFIX/stderr.txt"
}

echo
echo "== Pre-launch road: dist/prelaunch-bridge.exe under Wine"
echo "Windows PowerShell does not exist on Linux. In this demo a test stand-in sits at"
echo "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe; it hands the script the"
echo "bridge sends to PowerShell 7 on this machine, so the shipped controller really runs."
echo
echo "-- a good start (the launcher would start the game on exit code 0):"
STANDIN_HOST_PWSH="Z:${root//\//\\}\\out\\tools\\pwsh" STANDIN_RECORD_DIR='C:\' run_bridge
echo
echo "-- the launcher passes an argument:"
run_bridge --help
echo
echo "-- a controller file was changed after installation:"
echo " " >> "$package/Morvellane.Vudiv.Runtime.json"
run_bridge
