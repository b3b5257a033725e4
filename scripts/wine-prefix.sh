# Sourced: makes a throw-away Windows 10 Wine prefix with its server running,
# removed again when the calling script exits.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/morvellane-wine.XXXXXX)
# mscoree stays off while the prefix is made (no Wine Mono installer), then
# comes back: Wine's loader needs it for the engine's IL-only assemblies.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
remove_wine_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap remove_wine_prefix EXIT
setsid wineserver -p </dev/null >/dev/null 2>&1 &
wineboot -i </dev/null >/dev/null 2>&1
winecfg /v win10 </dev/null >/dev/null 2>&1
# No window manager runs under Xvfb, and Wine waits two seconds for one to
# take back each window it hides (every message box that is answered): the
# prefix's windows are Wine's own to manage.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1
# Once no program of the prefix runs, Wine ends its services and desktop, and
# the next program waits seconds (a dialog, ten) while they start again. A
# console that waits on its input keeps them until the prefix goes.
mkfifo "$WINEPREFIX/keep-running"
setsid wine cmd.exe <"$WINEPREFIX/keep-running" >/dev/null 2>&1 &
exec 9>"$WINEPREFIX/keep-running"
export WINEDLLOVERRIDES="mshtml="
powershell_home=$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0

# Windows PowerShell is not on Linux: the PowerShell 7 engine for Windows
# takes its place, with its modules, where Windows keeps Windows PowerShell
# (Wine's stub goes). A copy of its host stays beside it as
# powershell-engine.exe, so that tests can put the recording stand-in at
# powershell.exe and the engine back again.
install_powershell_engine() {
  rm -rf "$powershell_home"
  mkdir -p "$powershell_home"
  cp -r "$1"/. "$powershell_home"/
  cp "$powershell_home/powershell.exe" "$powershell_home/powershell-engine.exe"
}
