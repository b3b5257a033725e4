# Morvellane pre-launch entry, run by the owned runtime (never as a script file).
# Confirms that the Vudiv runtime description is present and well formed, and
# reports the result in $global:LASTEXITCODE: 0 lets the game start.
param([Parameter(Mandatory = $true)][string]$PackageRoot)

$global:LASTEXITCODE = 1
# Errors name the rule that failed, never the file's contents.
$rule = 'it cannot be read'
try {
    $bytes = [IO.File]::ReadAllBytes([IO.Path]::Combine($PackageRoot, 'Morvellane.Vudiv.Runtime.json'))
    $rule = 'it is not UTF-8 text'
    $text = [Text.UTF8Encoding]::new($false, $true).GetString($bytes)
    $rule = 'it is not JSON'
    $runtime = $text | ConvertFrom-Json
    $rule = 'it is not a JSON object with schemaVersion 1 and packageKind VudivUpdater'
    if ($runtime -isnot [Management.Automation.PSCustomObject] -or
        $null -eq $runtime.PSObject.Properties['schemaVersion'] -or $runtime.schemaVersion -ne 1 -or
        $null -eq $runtime.PSObject.Properties['packageKind'] -or $runtime.packageKind -cne 'VudivUpdater') {
        throw $rule
    }
} catch {
    [Console]::Error.WriteLine('Morvellane pre-launch check failed: Morvellane.Vudiv.Runtime.json ' + $rule + '.')
    return
}
Write-Output 'Morvellane pre-launch check passed.'
$global:LASTEXITCODE = 0
