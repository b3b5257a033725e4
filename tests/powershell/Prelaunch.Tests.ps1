# The prelaunch script exactly as the bridge embeds it, composed with a test
# directory the way the bridge composes it, run in PowerShell 7: the outcome
# and integrity tables. The bridge's road tests run it on the Windows engine.
param([string]$Pwsh, [string]$PrelaunchScript, [string]$ControllerDirectory, [string]$BootstrapScript, [string]$UpdaterProgram)

BeforeAll {
    . (Join-Path $PSScriptRoot 'TestHelpers.ps1')
    $script:Embedded = [IO.File]::ReadAllText($PrelaunchScript)
    $script:ShippedModuleDigest = Get-FileSha256 (Join-Path $ControllerDirectory 'Morvellane.OwnedRuntime.psm1')
    $script:ShippedManifestDigest = Get-FileSha256 (Join-Path $ControllerDirectory 'Morvellane.OwnedRuntime.json')
    $script:StageLine = 'Morvellane prelaunch stopped at {0}; Minecraft start refused.'
    $script:CleanupLine = 'Morvellane prelaunch cleanup failed; Minecraft start refused.'

    # A module that does what the FIXTURE_* variables ask and logs every call.
    $script:FixtureModule = @'
function Write-FixtureLog([string]$Text) { Add-Content -LiteralPath $env:FIXTURE_LOG -Value $Text -Encoding UTF8 }
function New-MorvellaneOwnedRuntime {
    param($PackageRoot, $PackageKind, $ManifestSha256)
    Write-FixtureLog "new|$PackageRoot|$PackageKind|$ManifestSha256"
    if ($env:FIXTURE_NEW -eq 'throw') { throw 'new failed' }
    'context-1'
}
function Invoke-MorvellaneOwnedRuntimeEntry {
    param($ContextId, $Id)
    Write-FixtureLog "invoke|$ContextId|$Id|$global:LASTEXITCODE"
    switch ($env:FIXTURE_ENTRY) {
        'throw' { throw 'entry failed' }
    }
}
function Close-MorvellaneOwnedRuntime {
    param($ContextId)
    Write-FixtureLog "close|$ContextId"
    if ($env:FIXTURE_CLOSE -eq 'throw') { throw 'close failed' }
}
Write-FixtureLog 'loaded'
'@

    function ConvertTo-Literal([string]$Directory) {
        # The bridge doubles U+0027 and U+2018..U+201B.
        [regex]::Replace($Directory, "['\u2018-\u201B]", { param($m) $m.Value + $m.Value })
    }

    # Composes the embedded text for DIRECTORY (optionally pinning another
    # module and manifest digest in place of the shipped ones) and runs it.
    function Invoke-Prelaunch {
        param(
            [string]$Directory,
            [string]$ModuleDigest = $script:ShippedModuleDigest,
            [string]$ManifestDigest = $script:ShippedManifestDigest
        )
        $text = $script:Embedded.Replace($script:ShippedModuleDigest, $ModuleDigest).
            Replace($script:ShippedManifestDigest, $ManifestDigest)
        $composed = "`$application = '" + (ConvertTo-Literal $Directory) + "'`n" + $text
        Invoke-ChildPowerShell $Pwsh $composed
    }

    function New-FixtureDirectory([string]$Name, [byte[]]$ModuleBytes) {
        $directory = Join-Path ([IO.Path]::GetTempPath()) ("morvellane-prelaunch-" + [Guid]::NewGuid().ToString('N')) |
            Join-Path -ChildPath $Name
        New-Item -ItemType Directory -Path $directory -Force | Out-Null
        if ($null -ne $ModuleBytes) {
            [IO.File]::WriteAllBytes((Join-Path $directory 'Morvellane.OwnedRuntime.psm1'), $ModuleBytes)
        }
        $env:FIXTURE_LOG = Join-Path $directory 'calls.log'
        $directory
    }

    function Get-Calls([string]$Directory) {
        $log = Join-Path $Directory 'calls.log'
        if (Test-Path -LiteralPath $log) { @(Get-Content -LiteralPath $log -Encoding UTF8) } else { @() }
    }
}

Describe 'The embedded prelaunch script' {
    It 'carries the digests of the module and manifest that ship, in lower case' {
        $script:Embedded | Should -MatchExactly "-cne '$script:ShippedModuleDigest'"
        $script:Embedded | Should -MatchExactly "-ManifestSha256 '$script:ShippedManifestDigest'"
        $script:Embedded.Contains("`r") | Should -BeFalse
    }
}

Describe 'Outcomes with a fixture module' {
    BeforeEach {
        $env:FIXTURE_NEW = $null
        $env:FIXTURE_ENTRY = $null
        $env:FIXTURE_CLOSE = $null
        $moduleBytes = [Text.Encoding]::UTF8.GetBytes($script:FixtureModule)
        $moduleDigest = Get-TextSha256 $moduleBytes
    }

    It '<name>' -ForEach @(
        @{ name = 'entry returns untouched: 0, no lines'; entry = $null; close = $null; code = 0; lines = @()
           calls = @('loaded', 'new', 'invoke', 'close') }
        @{ name = 'close throws after success: 1, cleanup line'; entry = $null; close = 'throw'; code = 1
           lines = @('cleanup'); calls = @('loaded', 'new', 'invoke', 'close') }
        @{ name = 'entry and close throw: 1, both lines in order'; entry = 'throw'; close = 'throw'; code = 1
           lines = @('Controller', 'cleanup'); calls = @('loaded', 'new', 'invoke', 'close') }
        @{ name = 'New- throws: 13, integrity line, Close- never called'; new = 'throw'; entry = $null; close = $null
           code = 13; lines = @('OwnedRuntimeIntegrity'); calls = @('loaded', 'new') }
    ) {
        $env:FIXTURE_NEW = $new
        $env:FIXTURE_ENTRY = $entry
        $env:FIXTURE_CLOSE = $close
        $directory = New-FixtureDirectory 'outcome' $moduleBytes
        $result = Invoke-Prelaunch -Directory $directory -ModuleDigest $moduleDigest -ManifestDigest ('ab' * 32)

        $result.ExitCode | Should -Be $code
        $expectedLines = foreach ($line in $lines) {
            if ($line -eq 'cleanup') { $script:CleanupLine } else { $script:StageLine -f $line }
        }
        $actualLines = @($result.Error -split "`r?`n" | Where-Object { $_ })
        $actualLines | Should -Be @($expectedLines)
        (Get-Calls $directory | ForEach-Object { ($_ -split '\|')[0] }) | Should -Be $calls
    }

    It 'hands the module the directory, the package kind, the manifest digest and a zeroed exit code' {
        $directory = New-FixtureDirectory ("O'Brien {0}x{1} {2}y{3}" -f [char]0x2018, [char]0x2019, [char]0x201A, [char]0x201B) $moduleBytes
        $result = Invoke-Prelaunch -Directory $directory -ModuleDigest $moduleDigest -ManifestDigest ('cd' * 32)
        $result.ExitCode | Should -Be 0
        $calls = Get-Calls $directory
        $calls[1] | Should -BeExactly "new|$directory|VudivUpdater|$('cd' * 32)"
        $calls[2] | Should -BeExactly 'invoke|context-1|VudivPreLaunch|0'
        $calls[3] | Should -BeExactly 'close|context-1'
    }
}

Describe 'Module integrity' {
    It '<name> gives 13 and the integrity line without running the module' -ForEach @(
        @{ name = 'a missing module'; bytes = $null; pin = 'fixture' }
        @{ name = 'an empty module'; bytes = 'empty'; pin = 'fixture' }
        @{ name = 'a module of 262145 bytes'; bytes = 'oversized'; pin = 'fixture' }
        @{ name = 'a module whose digest differs by one byte'; bytes = 'changed'; pin = 'original' }
        @{ name = 'a module that is not valid UTF-8'; bytes = 'invalid-utf8'; pin = 'fixture' }
        @{ name = 'a module that does not parse'; bytes = 'parse-error'; pin = 'fixture' }
        @{ name = 'a module whose import fails'; bytes = 'import-throws'; pin = 'fixture' }
        @{ name = 'an upper-case pinned digest'; bytes = 'good'; pin = 'upper' }
    ) {
        $good = [Text.Encoding]::UTF8.GetBytes($script:FixtureModule)
        $moduleBytes = switch ($bytes) {
            'good' { $good }
            'empty' { [byte[]]::new(0) }
            'oversized' { $big = [byte[]]::new(262145); [Array]::Copy($good, $big, $good.Length); $big }
            'changed' { $copy = $good.Clone(); $copy[10] = $copy[10] -bxor 1; $copy }
            'invalid-utf8' { [byte[]]($good + [byte[]](0xC3, 0x28)) }
            'parse-error' { [Text.Encoding]::UTF8.GetBytes("Write-FixtureLog 'ran'`nfunction Broken( {") }
            'import-throws' { [Text.Encoding]::UTF8.GetBytes("Add-Content -LiteralPath `$env:FIXTURE_LOG -Value 'ran' -Encoding UTF8`nthrow 'no'") }
            default { $bytes }
        }
        $directory = New-FixtureDirectory 'integrity' $moduleBytes
        $pinned = switch ($pin) {
            'original' { Get-TextSha256 $good }
            'upper' { (Get-TextSha256 $good).ToUpperInvariant() }
            default { if ($null -ne $moduleBytes) { Get-TextSha256 $moduleBytes } else { '00' * 32 } }
        }
        $result = Invoke-Prelaunch -Directory $directory -ModuleDigest $pinned
        $result.ExitCode | Should -Be 13
        $result.Error | Should -BeExactly (($script:StageLine -f 'OwnedRuntimeIntegrity') + "`n")
        if ($bytes -ne 'import-throws') {
            Get-Calls $directory | Should -BeNullOrEmpty
        }
    }
}

Describe 'The shipped controller files' {
    BeforeEach {
        $directory = New-FixtureDirectory 'shipped' $null
        # No -Filter: Wine's Z: drive matches nothing with it.
        Get-ChildItem -LiteralPath $ControllerDirectory |
            Where-Object { $_.Name -like 'Morvellane.*' -and $_.Name -notlike 'Morvellane.ProfileUpdate.ps1' } |
            Copy-Item -Destination $directory
    }

    It '<name>' -ForEach @(
        @{ name = 'a runtime description that is not JSON ends 1 with a clear error'
           file = 'Morvellane.Vudiv.Runtime.json'; text = '{ not json'; line = 'Morvellane pre-launch check failed: Morvellane.Vudiv.Runtime.json it is not JSON.' }
        @{ name = 'a runtime description of another kind ends 1 with a clear error'
           file = 'Morvellane.Vudiv.Runtime.json'; text = '{"schemaVersion": 1, "packageKind": "Other"}'
           line = 'Morvellane pre-launch check failed: Morvellane.Vudiv.Runtime.json it is not a JSON object with schemaVersion 1 and packageKind VudivUpdater.' }
        @{ name = 'a changed entry script stops at Controller'
           file = 'Morvellane.VudivPreLaunch.ps1'; text = 'exit 0'; line = 'Morvellane prelaunch stopped at Controller; Minecraft start refused.' }
    ) {
        [IO.File]::WriteAllText((Join-Path $directory $file), $text)
        $result = Invoke-Prelaunch -Directory $directory
        $result.ExitCode | Should -Be 1
        $result.Error | Should -BeExactly "$line`n"
    }

    It 'a changed manifest stops at OwnedRuntimeIntegrity' {
        Add-Content -LiteralPath (Join-Path $directory 'Morvellane.OwnedRuntime.json') -Value ' ' -Encoding UTF8
        $result = Invoke-Prelaunch -Directory $directory
        $result.ExitCode | Should -Be 13
        $result.Error | Should -BeExactly (($script:StageLine -f 'OwnedRuntimeIntegrity') + "`n")
    }
}
