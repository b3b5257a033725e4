# Shared by the script tests: running a PowerShell text in a child PowerShell,
# exactly as the native programs hand it over.

function ConvertTo-EncodedCommand([string]$Text) {
    [Convert]::ToBase64String([Text.Encoding]::Unicode.GetBytes($Text))
}

function Get-TextSha256([byte[]]$Bytes) {
    $sha = [Security.Cryptography.SHA256]::Create()
    try { ([BitConverter]::ToString($sha.ComputeHash($Bytes)) -replace '-', '').ToLowerInvariant() }
    finally { $sha.Dispose() }
}

function Get-FileSha256([string]$Path) {
    Get-TextSha256 ([IO.File]::ReadAllBytes($Path))
}

# Runs ARGUMENTS under PowerShell 7 and returns the exit code and both streams.
function Invoke-ChildPowerShell([string]$Pwsh, [string[]]$Arguments) {
    $info = [Diagnostics.ProcessStartInfo]::new($Pwsh)
    foreach ($argument in $Arguments) { $info.ArgumentList.Add($argument) }
    $info.UseShellExecute = $false
    $info.RedirectStandardOutput = $true
    $info.RedirectStandardError = $true
    $info.Environment['NO_COLOR'] = '1'
    $process = [Diagnostics.Process]::Start($info)
    $output = $process.StandardOutput.ReadToEndAsync()
    $errorText = $process.StandardError.ReadToEnd()
    $process.WaitForExit()
    [pscustomobject]@{ ExitCode = $process.ExitCode; Output = $output.Result; Error = $errorText }
}
