#!/bin/bash
# Shows the programs in dist/ running under Wine, as a launcher would run them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$root/dist
bin=$root/out/mingw/bin
source "$root/scripts/wine-prefix.sh"
install_powershell_engine "$root/out/tools/powershell-engine"

package=$WINEPREFIX/drive_c/Games/Morvellane
mkdir -p "$package"
cp "$dist"/* "$package"/
bridge='C:\Games\Morvellane\prelaunch-bridge.exe'
cd "$WINEPREFIX/drive_c"

# One plain line when PowerShell itself died rather than a script ending. Wine
# hands the shell only the low byte of an exit code, so the runtime's own
# message on the error output tells.
say_if_engine_died() {
  grep -qa 'Internal CLR error' "$1" 2>/dev/null || return 0
  local powershell runtime
  powershell=$(grep -o '"Microsoft.PowerShell.SDK/[^"]*' "$powershell_home/powershell.deps.json" | head -n 1)
  runtime=$(grep -o '"version": "[^"]*' "$powershell_home/powershell.runtimeconfig.json" | head -n 1)
  echo "  PowerShell itself died: the PowerShell engine for Windows (PowerShell ${powershell##*/} on .NET" \
    "${runtime##*\"}) under $(wine --version 2>/dev/null) failed, not the program shown."
}

run_bridge() {
  local status=0
  wine "$bridge" "$@" >"$WINEPREFIX/stdout.txt" 2>"$WINEPREFIX/stderr.txt" || status=$?
  echo "  exit code: $status"
  sed 's/^/  stdout: /' "$WINEPREFIX/stdout.txt"
  grep -v '^wine: ' "$WINEPREFIX/stderr.txt" | sed 's/^/  stderr: /' || true
  say_if_engine_died "$WINEPREFIX/stderr.txt"
}

echo
echo "Windows PowerShell 5.1 is not available on Linux. Here PowerShell 7.6.10 for"
echo "Windows stands in for it, at C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"
echo "in the Wine prefix, where both programs look for Windows PowerShell."
echo
echo "== Pre-launch road: dist/prelaunch-bridge.exe under Wine"
echo
echo "-- a good start (the launcher would start the game on exit code 0):"
run_bridge
echo
echo "-- the launcher passes an argument:"
run_bridge --help
echo
echo "-- a controller file was changed after installation:"
echo " " >> "$package/Morvellane.Vudiv.Runtime.json"
run_bridge
cp "$dist/Morvellane.Vudiv.Runtime.json" "$package/"

echo
echo "== Game-start road: dist/auto-updater.exe as the profile's Java under Wine"
echo "Java 21 is not on Linux either: the test stand-in java-standin.exe is registered as"
echo "the real Java (HKCU\\Software\\Morvellane\\Tinderwick, JavaExecutable) and reports what it got."
cp "$bin/java-standin.exe" "$WINEPREFIX/drive_c/Games/java.exe"
mkdir -p "$WINEPREFIX/drive_c/Games/profile"
wine reg add 'HKCU\Software\Morvellane\Tinderwick' /v JavaExecutable /t REG_SZ /d 'C:\Games\java.exe' /f >/dev/null 2>&1
updater='C:\Games\Morvellane\auto-updater.exe'
export STANDIN_RECORD_DIR='C:\Games'
# PowerShell's console output, which the updater gives no handles, goes to a file.
export MORVELLANE_ENGINE_CONSOLE_FILE='C:\Games\powershell-console.txt'
run_updater() {
  local status=0
  rm -f "$WINEPREFIX/drive_c/Games/java.txt" "$WINEPREFIX/drive_c/Games/powershell-console.txt"
  wine "$updater" "$@" 2>/dev/null || status=$?
  echo "  exit code: $status"
  say_if_engine_died "$WINEPREFIX/drive_c/Games/powershell-console.txt"
  if [ -f "$WINEPREFIX/drive_c/Games/java.txt" ]; then
    iconv -f UTF-16LE -t UTF-8 "$WINEPREFIX/drive_c/Games/java.txt" | sed 's/^/  java saw: /'; echo
  else
    echo "  java was not started"
  fi
}
# The newest startup transcript, as the failure dialog would name it.
show_transcript_lines() {
  local log
  log=$(ls -t "$WINEPREFIX"/drive_c/users/*/Temp/Morvellane-profile-startup-*.log | head -n 1)
  local windows_path=${log#"$WINEPREFIX/drive_c/"}
  echo "  startup log: C:\\${windows_path//\//\\}"
  grep -a 'Morvellane profile update' "$log" | sed 's/\r$//; s/^/  transcript: /'
}
echo
echo "-- a plain Java start passes straight through:"
run_updater -version
echo
echo "-- a game start runs the profile update (bootstrap and controller on the engine) first:"
run_updater --gamedir 'C:\Games\profile' -Xmx2G
show_transcript_lines
echo
echo "-- a game start for a game directory that does not exist stops the game:"
run_updater --gamedir 'C:\Games\missing' -Xmx2G
show_transcript_lines
if [ -z "${DISPLAY:-}" ]; then
  echo "  (No display here, so the update-failure message box returns at once; 'make test' reads it under Xvfb.)"
fi
