$ErrorActionPreference = 'Stop'; $env:PSModulePath = "$PSHOME\Modules"; $transcribing = $false
function Assert-MorvellanePowerShellPolicy {
    param([string]$LanguageMode = $ExecutionContext.SessionState.LanguageMode, [string]$MachinePolicy = (Get-ExecutionPolicy -Scope MachinePolicy), [string]$UserPolicy = (Get-ExecutionPolicy -Scope UserPolicy))
    if ($LanguageMode -ne 'FullLanguage') { throw "Windows application control limits PowerShell to $LanguageMode. Tinderwick requires FullLanguage. Ask the device administrator to approve this installer. No policy was changed." }
    $managedPolicy = if ($MachinePolicy -eq 'Undefined') { $UserPolicy } else { $MachinePolicy }
    if ($managedPolicy -in 'Restricted', 'AllSigned') { throw "Windows Group Policy requires $managedPolicy (MachinePolicy=$MachinePolicy; UserPolicy=$UserPolicy). Process-only Bypass cannot override it. Ask the device administrator for an approved or signed installer. No policy was changed." }
}
try {
    if ($env:MORVELLANE_PROFILE_STARTUP_LOG) {
        try { Start-Transcript -Path $env:MORVELLANE_PROFILE_STARTUP_LOG -NoClobber | Out-Null; $transcribing = $true }
        catch { Write-Warning 'Startup transcript could not be created.' }
    }
    try { Assert-MorvellanePowerShellPolicy } catch { Write-Error $_ -ErrorAction Continue; exit 1625 }
    & $env:MORVELLANE_PROFILE_CONTROLLER
    if (-not $?) { exit 1 }
    exit $LASTEXITCODE
} catch {
    Write-Error $_ -ErrorAction Continue; exit 1
} finally {
    if ($transcribing) { try { Stop-Transcript | Out-Null } catch { } }
}