# Shared by the script tests: running a PowerShell text in a child PowerShell,
# exactly as the native programs hand it over.

function Get-TextSha256([byte[]]$Bytes) {
    # Validated under the FIPS policy too, where Windows PowerShell refuses SHA256::Create().
    $sha = [Security.Cryptography.SHA256CryptoServiceProvider]::new()
    try { ([BitConverter]::ToString($sha.ComputeHash($Bytes)) -replace '-', '').ToLowerInvariant() }
    finally { $sha.Dispose() }
}

function Get-FileSha256([string]$Path) {
    Get-TextSha256 ([IO.File]::ReadAllBytes($Path))
}

# Runs the composed SCRIPT under PWSH (PowerShell 7 on the host, Windows
# PowerShell in the Windows kit) in the bridge's form: the script in the
# environment, read by a plain -Command. Returns the exit code and both
# streams, with the error stream's line ends as LF.
function Invoke-ChildPowerShell([string]$Pwsh, [string]$Script) {
    $command = "if (`$ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') { exit 1625 }; " +
        "`$morvellaneScript = `$env:MORVELLANE_PROFILE_SCRIPT; `$env:MORVELLANE_PROFILE_SCRIPT = `$null; " +
        "if (-not `$morvellaneScript) { exit 1 }; . ([scriptblock]::Create(`$morvellaneScript))"
    $info = [Diagnostics.ProcessStartInfo]::new($Pwsh)
    # .NET Framework has no ArgumentList: one joined text, the command quoted.
    $info.Arguments = "-NoLogo -NoProfile -NonInteractive -OutputFormat Text -Command `"$command`""
    $info.Environment['MORVELLANE_PROFILE_SCRIPT'] = $Script
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
