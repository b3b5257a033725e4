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

echo
echo "== Game-start road: dist/auto-updater.exe as the profile's Java under Wine"
echo "Java 21 is not on Linux either: the test stand-in java-standin.exe is registered as"
echo "the real Java (HKCU\\Software\\Morvellane\\Tinderwick, JavaExecutable) and reports what it got."
cp "$bin/java-standin.exe" "$WINEPREFIX/drive_c/Games/java.exe"
mkdir -p "$WINEPREFIX/drive_c/Games/profile"
wine reg add 'HKCU\Software\Morvellane\Tinderwick' /v JavaExecutable /t REG_SZ /d 'C:\Games\java.exe' /f >/dev/null 2>&1
updater='C:\Games\Morvellane\auto-updater.exe'
export STANDIN_RECORD_DIR='C:\Games' STANDIN_HOST_PWSH="Z:${root//\//\\}\\out\\tools\\pwsh"
run_updater() {
  local status=0
  rm -f "$WINEPREFIX/drive_c/Games/java.txt"
  wine "$updater" "$@" || status=$?
  echo "  exit code: $status"
  if [ -f "$WINEPREFIX/drive_c/Games/java.txt" ]; then
    iconv -f UTF-16LE -t UTF-8 "$WINEPREFIX/drive_c/Games/java.txt" | sed 's/^/  java saw: /'; echo
  else
    echo "  java was not started"
  fi
}
echo
echo "-- a plain Java start passes straight through:"
run_updater -version
echo
echo "-- a game start runs the profile update (bootstrap and controller under PowerShell 7) first:"
run_updater --gamedir 'C:\Games\profile' -Xmx2G
if [ -z "${DISPLAY:-}" ]; then
  echo
  echo "(No display here: a failed game start would show its message box; 'make test' checks them under Xvfb.)"
fi
