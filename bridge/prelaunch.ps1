# Embedded into the native bridge at build time; never dispatched as a .ps1 file.
# $application is a literal supplied from that bridge's own executable directory.
$ErrorActionPreference = 'Stop'
$context = $null
$loaderHandle = $null
$nativeExit = 13
$stage = 'OwnedRuntimeIntegrity'
try {
    if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
        $nativeExit = 1625
        throw 'LanguageModeDenied'
    }
    $loaderPath = [IO.Path]::Combine($application, 'Morvellane.OwnedRuntime.psm1')
    $loaderHandle = [IO.File]::Open($loaderPath, [IO.FileMode]::Open, [IO.FileAccess]::Read, [IO.FileShare]::Read)
    if ($loaderHandle.Length -le 0 -or $loaderHandle.Length -gt 262144) {
        throw 'LoaderLength'
    }
    # The FIPS-validated implementation: under the FIPS policy Windows PowerShell refuses SHA256::Create().
    $digest = [Security.Cryptography.SHA256CryptoServiceProvider]::new()
    try {
        $actual = [BitConverter]::ToString($digest.ComputeHash($loaderHandle)).Replace('-', '').ToLowerInvariant()
    } finally {
        $digest.Dispose()
    }
    if ($actual -cne '@OWNED_RUNTIME_MODULE_SHA256@') {
        throw 'LoaderDigest'
    }
    $loaderHandle.Position = 0
    $reader = [IO.StreamReader]::new($loaderHandle, [Text.UTF8Encoding]::new($false, $true), $true, 4096, $true)
    try {
        $body = $reader.ReadToEnd()
    } finally {
        $reader.Dispose()
    }
    $tokens = $null
    $errors = $null
    $ast = [Management.Automation.Language.Parser]::ParseInput($body, $loaderPath, [ref]$tokens, [ref]$errors)
    if ($errors.Count -ne 0) {
        throw 'LoaderParse'
    }
    Import-Module -ModuleInfo (New-Module -Name 'Morvellane.OwnedRuntime' -ScriptBlock $ast.GetScriptBlock()) -Global -ErrorAction Stop
    $context = New-MorvellaneOwnedRuntime -PackageRoot $application -PackageKind VudivUpdater -ManifestSha256 '@OWNED_RUNTIME_MANIFEST_SHA256@'
    $stage = 'Controller'
    $nativeExit = 1
    $global:LASTEXITCODE = 0
    Invoke-MorvellaneOwnedRuntimeEntry -ContextId $context -Id VudivPreLaunch
    $nativeExit = $global:LASTEXITCODE
} catch {
    # Fixed stage only: never forward account/environment/configuration contents.
    [Console]::Error.WriteLine('Morvellane prelaunch stopped at ' + $stage + '; Minecraft start refused.')
} finally {
    if ($context) {
        try {
            Close-MorvellaneOwnedRuntime -ContextId $context
        } catch {
            $nativeExit = 1
            [Console]::Error.WriteLine('Morvellane prelaunch cleanup failed; Minecraft start refused.')
        }
    }
    if ($loaderHandle) {
        $loaderHandle.Dispose()
    }
}
exit $nativeExit
