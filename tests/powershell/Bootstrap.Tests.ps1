# The updater's bootstrap script as the program carries it, decoded from the
# encoded-command text inside the built auto-updater.exe: its text, and its
# policy function over every language mode and policy pair. The whole script
# runs on the Windows engine in the updater's road tests.
param(
    [string]$Pwsh,
    [string]$PrelaunchScript,
    [string]$ControllerDirectory,
    [string]$BootstrapScript,
    [string]$UpdaterProgram
)

BeforeAll {
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
}

Describe 'The shipped profile update controller' {
    It 'with <name> throws its own message' -ForEach @(
        @{ name = 'a game directory that is a file'; directory = 'file'
           message = 'Morvellane profile update: the game directory does not exist or is not a directory.' }
        @{ name = 'no game directory'; directory = ''
           message = 'Morvellane profile update: MORVELLANE_PROFILE_GAME_DIRECTORY is not set; start the game from the launcher.' }
    ) {
        $env:MORVELLANE_PROFILE_GAME_DIRECTORY = $null
        if ($directory -eq 'file') {
            $env:MORVELLANE_PROFILE_GAME_DIRECTORY = Join-Path $script:Work 'not-a-directory'
            Set-Content -LiteralPath $env:MORVELLANE_PROFILE_GAME_DIRECTORY -Value '' -Encoding UTF8
        }
        { & (Join-Path $ControllerDirectory 'Morvellane.ProfileUpdate.ps1') } | Should -Throw -ExpectedMessage $message
    }
}
