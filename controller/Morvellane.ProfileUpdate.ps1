# Morvellane profile update controller, run by the automatic updater's bootstrap
# before a game start. It finds the game directory in
# MORVELLANE_PROFILE_GAME_DIRECTORY and ends with 0 when the game may start.
# Faults are thrown, so PowerShell ends the run with a clear error and code 1.
$ErrorActionPreference = 'Stop'

$gameDirectory = $env:MORVELLANE_PROFILE_GAME_DIRECTORY
if ([string]::IsNullOrEmpty($gameDirectory)) {
    throw 'Morvellane profile update: MORVELLANE_PROFILE_GAME_DIRECTORY is not set; start the game from the launcher.'
}
if (-not (Test-Path -LiteralPath $gameDirectory -PathType Container)) {
    throw 'Morvellane profile update: the game directory does not exist or is not a directory.'
}
Write-Output 'Morvellane profile update: the game profile is ready.'
exit 0
