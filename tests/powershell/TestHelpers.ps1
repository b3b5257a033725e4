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

# Runs ARGUMENTS under PWSH (PowerShell 7 on the host, Windows PowerShell in
# the Windows kit) with text output, as the bridge runs it, and returns the
# exit code and both streams, with the error stream's line ends as LF.
function Invoke-ChildPowerShell([string]$Pwsh, [string[]]$Arguments) {
    $info = [Diagnostics.ProcessStartInfo]::new($Pwsh)
    # .NET Framework has no ArgumentList: the arguments are joined, so none may
    # hold white space or a quote.
    foreach ($argument in $Arguments) {
        if ($argument -match '[\s"]') { throw "argument needs quoting: $argument" }
    }
    # Without it, records on the redirected error stream come as CLIXML.
    $info.Arguments = (@('-OutputFormat', 'Text') + $Arguments) -join ' '
    $info.UseShellExecute = $false
    $info.RedirectStandardOutput = $true
    $info.RedirectStandardError = $true
    $info.Environment['NO_COLOR'] = '1'
    $process = [Diagnostics.Process]::Start($info)
    $output = $process.StandardOutput.ReadToEndAsync()
    $errorText = $process.StandardError.ReadToEnd()
    $process.WaitForExit()
    [pscustomobject]@{ ExitCode = $process.ExitCode; Output = $output.Result; Error = $errorText -replace "`r`n", "`n" }
}
