# Entry script of the test pin set: throws when MORVELLANE_TEST_ENTRY is
# 'throw'; with 'hang' starts a PowerShell of its own and waits, their ids in
# STANDIN_RECORD_DIR (process.txt, grandchild.txt); otherwise leaves 7, or
# the number that MORVELLANE_TEST_ENTRY gives, for the prelaunch script to
# pass on. With MORVELLANE_TEST_NOISE set it first shows progress, writes a
# warning, a non-terminating error and an information line, as an installer's
# own entry might.
param([Parameter(Mandatory = $true)][string]$PackageRoot)
if ($env:MORVELLANE_TEST_NOISE) {
    Write-Progress -Activity 'test entry download' -Status 'half way' -PercentComplete 50
    Write-Warning 'test entry warning'
    Write-Error 'test entry error' -ErrorAction Continue
    Write-Information 'test entry information' -InformationAction Continue
    Write-Progress -Activity 'test entry download' -Completed
}
if ($env:MORVELLANE_TEST_ENTRY -eq 'throw') {
    throw 'the test entry failed'
}
if ($env:MORVELLANE_TEST_ENTRY -eq 'hang') {
    $child = Start-Process -FilePath (Get-Process -Id $PID).Path -PassThru -WindowStyle Hidden `
        -ArgumentList '-NoProfile', '-Command', 'Start-Sleep 600'
    $utf16 = New-Object Text.UnicodeEncoding($false, $false)
    [IO.File]::WriteAllText((Join-Path $env:STANDIN_RECORD_DIR 'grandchild.txt'), [string]$child.Id, $utf16)
    [IO.File]::WriteAllText((Join-Path $env:STANDIN_RECORD_DIR 'process.txt'), [string]$PID, $utf16)
    Start-Sleep -Seconds 600
}
Write-Output 'test entry ran'
$global:LASTEXITCODE = if ($env:MORVELLANE_TEST_ENTRY -match '^-?[0-9]+$') { [int]$env:MORVELLANE_TEST_ENTRY } else { 7 }
