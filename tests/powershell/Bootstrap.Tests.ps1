# The updater's bootstrap script as the program carries it: decoded from the
# encoded-command text inside the built auto-updater.exe, run in PowerShell 7.
param(
    [string]$Pwsh,
    [string]$PrelaunchScript,
    [string]$ControllerDirectory,
    [string]$BootstrapScript,
    [string]$UpdaterProgram
)

BeforeAll {
    . (Join-Path $PSScriptRoot 'TestHelpers.ps1')

    # The longest run of Base64 characters in the program's UTF-16 text.
    $programText = [Text.Encoding]::Unicode.GetString([IO.File]::ReadAllBytes($UpdaterProgram))
    $script:Encoded = ([regex]::Matches($programText, '[A-Za-z0-9+/]{64,}={0,2}') |
        Sort-Object { $_.Length } -Descending | Select-Object -First 1).Value
    $script:Bootstrap = [Text.Encoding]::Unicode.GetString([Convert]::FromBase64String($script:Encoded))

    # Defines the policy function from the carried script, and only that.
    $ast = [Management.Automation.Language.Parser]::ParseInput($script:Bootstrap, [ref]$null, [ref]$null)
    $definition = $ast.Find({ param($node)
            $node -is [Management.Automation.Language.FunctionDefinitionAst] -and
            $node.Name -eq 'Assert-MorvellanePowerShellPolicy' }, $true)
    . ([scriptblock]::Create($definition.Extent.Text))

    $script:Work = Join-Path ([IO.Path]::GetTempPath()) ('morvellane-bootstrap-' + [Guid]::NewGuid().ToString('N'))
    New-Item -ItemType Directory -Path $script:Work | Out-Null

    # Runs the carried text exactly as the updater hands it to PowerShell.
    function Invoke-Bootstrap {
        param([string]$Controller, [string]$GameDirectory = $script:Work, [string]$StartupLog, [switch]$ConstrainedLanguage)
        $env:MORVELLANE_PROFILE_CONTROLLER = $Controller
        $env:MORVELLANE_PROFILE_GAME_DIRECTORY = $GameDirectory
        $env:MORVELLANE_PROFILE_STARTUP_LOG = $StartupLog
        if (-not $ConstrainedLanguage) {
            return Invoke-ChildPowerShell $Pwsh @('-NoLogo', '-NoProfile', '-ExecutionPolicy', 'Bypass',
                '-EncodedCommand', $script:Encoded)
        }
        $scriptPath = Join-Path $script:Work 'bootstrap.ps1'
        [IO.File]::WriteAllText($scriptPath, $script:Bootstrap)
        # Exit codes on Linux keep 8 bits only, so the script's own code is printed as well.
        Invoke-ChildPowerShell $Pwsh @('-NoLogo', '-NoProfile', '-Command',
            "`$ExecutionContext.SessionState.LanguageMode = 'ConstrainedLanguage'; & '$scriptPath'; " +
            "Write-Output `"bootstrap-exit=`$LASTEXITCODE`"; exit `$LASTEXITCODE")
    }

    function New-Controller([string]$Name, [string]$Text) {
        $path = Join-Path $script:Work "$Name.ps1"
        [IO.File]::WriteAllText($path, $Text)
        $path
    }
}

AfterAll {
    Remove-Item -LiteralPath $script:Work -Recurse -Force -ErrorAction SilentlyContinue
}

Describe 'The carried bootstrap text' {
    It 'decodes to the exact bytes of the script file, which the program does not carry in plain form' {
        $fileBytes = [IO.File]::ReadAllBytes($BootstrapScript)
        [Text.Encoding]::Unicode.GetBytes($script:Bootstrap) | Should -Be ([Text.Encoding]::Unicode.GetBytes([Text.Encoding]::ASCII.GetString($fileBytes)))
        $script:Bootstrap | Should -BeExactly ([Text.Encoding]::ASCII.GetString($fileBytes))
        $script:Bootstrap.Split("`n").Count | Should -Be 21
        $programBytes = [IO.File]::ReadAllBytes($UpdaterProgram)
        [Text.Encoding]::Unicode.GetString($programBytes).Contains('Assert-MorvellanePowerShellPolicy') | Should -BeFalse
        [Text.Encoding]::ASCII.GetString($programBytes).Contains('Assert-MorvellanePowerShellPolicy') | Should -BeFalse
    }
}

Describe 'Assert-MorvellanePowerShellPolicy' {
    It 'refuses <mode> with its message' -ForEach @(
        @{ mode = 'ConstrainedLanguage' }, @{ mode = 'RestrictedLanguage' }, @{ mode = 'NoLanguage' }
    ) {
        { Assert-MorvellanePowerShellPolicy -LanguageMode $mode -MachinePolicy Undefined -UserPolicy Undefined } |
            Should -Throw -ExpectedMessage "Windows application control limits PowerShell to $mode. Tinderwick requires FullLanguage. Ask the device administrator to approve this installer. No policy was changed."
    }

    It 'Machine <machine>, User <user>: <verdict>' -ForEach @(
        @{ machine = 'Undefined'; user = 'Undefined'; verdict = 'allowed' }
        @{ machine = 'Undefined'; user = 'Bypass'; verdict = 'allowed' }
        @{ machine = 'Undefined'; user = 'RemoteSigned'; verdict = 'allowed' }
        @{ machine = 'Undefined'; user = 'Restricted'; verdict = 'Restricted' }
        @{ machine = 'Undefined'; user = 'AllSigned'; verdict = 'AllSigned' }
        @{ machine = 'Restricted'; user = 'Undefined'; verdict = 'Restricted' }
        @{ machine = 'Restricted'; user = 'Bypass'; verdict = 'Restricted' }
        @{ machine = 'AllSigned'; user = 'RemoteSigned'; verdict = 'AllSigned' }
        @{ machine = 'RemoteSigned'; user = 'Restricted'; verdict = 'allowed' }
        @{ machine = 'Bypass'; user = 'AllSigned'; verdict = 'allowed' }
    ) {
        $check = { Assert-MorvellanePowerShellPolicy -LanguageMode FullLanguage -MachinePolicy $machine -UserPolicy $user }
        if ($verdict -eq 'allowed') {
            $check | Should -Not -Throw
        } else {
            $check | Should -Throw -ExpectedMessage "Windows Group Policy requires $verdict (MachinePolicy=$machine; UserPolicy=$user). Process-only Bypass cannot override it. Ask the device administrator for an approved or signed installer. No policy was changed."
        }
    }

    It 'reads the language mode and both policies itself when given nothing' {
        { Assert-MorvellanePowerShellPolicy } | Should -Not -Throw
    }
}

Describe 'The bootstrap run' {
    It 'a controller that <name> gives <code>' -ForEach @(
        @{ name = 'just returns'; text = 'Write-Output "ready"'; code = 0 }
        @{ name = 'leaves a native command''s 7 (no exit)'; text = 'sh -c "exit 7"'; code = 7 }
        # PowerShell 7 leaves $? false after a script's non-zero exit, so the bootstrap reports 1.
        @{ name = 'ends with exit 7'; text = 'exit 7'; code = 1 }
        @{ name = 'ends with exit 0'; text = 'exit 0'; code = 0 }
        @{ name = 'throws'; text = 'throw "controller failed"'; code = 1 }
        @{ name = 'writes a non-terminating error'; text = 'Write-Error "soft failure"'; code = 1 }
    ) {
        $result = Invoke-Bootstrap -Controller (New-Controller 'controller' $text)
        $result.ExitCode | Should -Be $code
    }

    It 'refuses ConstrainedLanguage with 1625 and the policy error' {
        $result = Invoke-Bootstrap -Controller (New-Controller 'never' 'Set-Content -LiteralPath ran.txt x') -ConstrainedLanguage
        $result.Output | Should -Match 'bootstrap-exit=1625'
        $result.ExitCode | Should -Be (1625 -band 0xFF)
        $result.Error | Should -Match 'Windows application control limits PowerShell to ConstrainedLanguage'
    }

    It 'records a transcript in the startup log' {
        $log = Join-Path $script:Work 'fresh.log'
        $result = Invoke-Bootstrap -Controller (New-Controller 'talks' 'Write-Output "controller speaking"') -StartupLog $log
        $result.ExitCode | Should -Be 0
        Get-Content -LiteralPath $log -Raw | Should -Match 'controller speaking'
    }

    It 'warns about a startup log that already exists, leaves it alone and goes on' {
        $log = Join-Path $script:Work 'existing.log'
        Set-Content -LiteralPath $log -Value 'earlier run'
        $result = Invoke-Bootstrap -Controller (New-Controller 'ok' 'exit 0') -StartupLog $log
        $result.ExitCode | Should -Be 0
        # PowerShell hands its warning stream to a redirected caller as CLIXML on standard error.
        $result.Error | Should -Match '<S S="warning">Startup transcript could not be created\.</S>'
        Get-Content -LiteralPath $log -Raw | Should -BeExactly "earlier run`n"
    }
}

Describe 'The shipped profile update controller' {
    It 'with <name> gives <code>' -ForEach @(
        @{ name = 'a game directory that exists'; directory = 'present'; code = 0 }
        @{ name = 'a game directory that is missing'; directory = 'missing'; code = 1 }
        @{ name = 'a game directory that is a file'; directory = 'file'; code = 1 }
        @{ name = 'no game directory'; directory = ''; code = 1 }
    ) {
        $gameDirectory = switch ($directory) {
            'present' { $script:Work }
            'missing' { Join-Path $script:Work 'missing' }
            'file' { New-Controller 'not-a-directory' '' }
            default { '' }
        }
        $controller = Join-Path $ControllerDirectory 'Morvellane.ProfileUpdate.ps1'
        $result = Invoke-Bootstrap -Controller $controller -GameDirectory $gameDirectory
        $result.ExitCode | Should -Be $code
        if ($code -ne 0) {
            $result.Error | Should -Match 'Morvellane profile update: '
        }
    }
}
