# Sourced: makes a throw-away Windows 10 Wine prefix with its server running,
# removed again when the calling script exits.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/morvellane-wine.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
remove_wine_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap remove_wine_prefix EXIT
setsid wineserver -p </dev/null >/dev/null 2>&1 &
wineboot -i </dev/null >/dev/null 2>&1
winecfg /v win10 </dev/null >/dev/null 2>&1

# Windows PowerShell is not on Linux: the test stand-in takes its place.
install_powershell_standin() {
  local system32=$WINEPREFIX/drive_c/windows/system32
  mkdir -p "$system32/WindowsPowerShell/v1.0/Modules"
  cp "$1" "$system32/WindowsPowerShell/v1.0/powershell.exe"
}
