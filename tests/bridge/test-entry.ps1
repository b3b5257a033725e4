# Entry script of the test pin set: throws when MORVELLANE_TEST_ENTRY is
# 'throw', otherwise leaves 7 for the prelaunch script to pass on.
param([Parameter(Mandatory = $true)][string]$PackageRoot)
if ($env:MORVELLANE_TEST_ENTRY -eq 'throw') {
    throw 'the test entry failed'
}
Write-Output 'test entry ran'
$global:LASTEXITCODE = 7
