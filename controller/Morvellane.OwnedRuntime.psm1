# Morvellane owned runtime: opens a package after proving its manifest, and runs
# the manifest's entries only after proving each entry script too.
# Loaded by the native bridge from verified text; works on Windows PowerShell 5.1.

Set-StrictMode -Version 2.0

$script:ManifestName = 'Morvellane.OwnedRuntime.json'
$script:OpenRuntimes = @{}

function Get-MorvellaneBytesSha256 {
    param([Parameter(Mandatory = $true)][byte[]]$Bytes)
    # The FIPS-validated implementation: under the FIPS policy Windows PowerShell refuses SHA256::Create().
    $sha = [Security.Cryptography.SHA256CryptoServiceProvider]::new()
    try {
        return ([BitConverter]::ToString($sha.ComputeHash($Bytes)) -replace '-', '').ToLowerInvariant()
    } finally {
        $sha.Dispose()
    }
}

function ConvertFrom-MorvellaneUtf8 {
    param([Parameter(Mandatory = $true)][byte[]]$Bytes)
    # Strict UTF-8: invalid bytes throw instead of turning into replacement characters.
    $text = [Text.UTF8Encoding]::new($false, $true).GetString($Bytes)
    if ($text.Length -gt 0 -and $text[0] -eq [char]0xFEFF) {
        $text = $text.Substring(1)
    }
    return $text
}

function New-MorvellaneOwnedRuntime {
    param(
        [Parameter(Mandatory = $true)][string]$PackageRoot,
        [Parameter(Mandatory = $true)][string]$PackageKind,
        [Parameter(Mandatory = $true)][string]$ManifestSha256
    )
    # Hash and parse the same bytes, so the manifest cannot change in between.
    $manifestBytes = [IO.File]::ReadAllBytes([IO.Path]::Combine($PackageRoot, $script:ManifestName))
    if ((Get-MorvellaneBytesSha256 -Bytes $manifestBytes) -cne $ManifestSha256) {
        throw 'The owned runtime manifest does not match its pinned digest.'
    }
    $manifest = ConvertFrom-MorvellaneUtf8 -Bytes $manifestBytes | ConvertFrom-Json
    if ($manifest.packageKind -cne $PackageKind) {
        throw 'The owned runtime manifest is for another package kind.'
    }
    $contextId = [Guid]::NewGuid().ToString('N')
    $script:OpenRuntimes[$contextId] = @{ PackageRoot = $PackageRoot; Manifest = $manifest }
    return $contextId
}

function Invoke-MorvellaneOwnedRuntimeEntry {
    param(
        [Parameter(Mandatory = $true)][string]$ContextId,
        [Parameter(Mandatory = $true)][string]$Id
    )
    $runtime = $script:OpenRuntimes[$ContextId]
    if ($null -eq $runtime) {
        throw 'The owned runtime context is not open.'
    }
    $entry = @($runtime.Manifest.entries | Where-Object { $_.id -ceq $Id })
    if ($entry.Count -ne 1) {
        throw "The owned runtime manifest has no single entry '$Id'."
    }
    $entryPath = [IO.Path]::Combine($runtime.PackageRoot, [string]$entry[0].script)
    $entryBytes = [IO.File]::ReadAllBytes($entryPath)
    if ((Get-MorvellaneBytesSha256 -Bytes $entryBytes) -cne [string]$entry[0].sha256) {
        throw "The entry script of '$Id' does not match the owned runtime manifest."
    }
    # Run the verified text itself, never the file again: no second read, and no
    # dependence on the execution policy for script files.
    $tokens = $null
    $errors = $null
    $ast = [Management.Automation.Language.Parser]::ParseInput(
        (ConvertFrom-MorvellaneUtf8 -Bytes $entryBytes), $entryPath, [ref]$tokens, [ref]$errors)
    if ($errors.Count -ne 0) {
        throw "The entry script of '$Id' does not parse."
    }
    # The entry reports its result in $global:LASTEXITCODE.
    & $ast.GetScriptBlock() -PackageRoot $runtime.PackageRoot
}

function Close-MorvellaneOwnedRuntime {
    param([Parameter(Mandatory = $true)][string]$ContextId)
    if (-not $script:OpenRuntimes.ContainsKey($ContextId)) {
        throw 'The owned runtime context is not open.'
    }
    $script:OpenRuntimes.Remove($ContextId)
}

Export-ModuleMember -Function New-MorvellaneOwnedRuntime, Invoke-MorvellaneOwnedRuntimeEntry, Close-MorvellaneOwnedRuntime
