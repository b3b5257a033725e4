# The updater's bootstrap script as the program carries it, found in the
# UTF-16 text of the built auto-updater.exe: its text, and its policy function
# over every language mode and policy pair. The whole script runs on the
# Windows engine in the updater's road tests.
param([string]$Pwsh, [string]$PrelaunchScript, [string]$ControllerDirectory, [string]$BootstrapScript, [string]$UpdaterProgram)

BeforeAll {
    # The script file's text, where the program's UTF-16 text holds it whole
    # and terminated; nothing otherwise.
    $fileText = [Text.Encoding]::ASCII.GetString([IO.File]::ReadAllBytes($BootstrapScript))
    $programText = [Text.Encoding]::Unicode.GetString([IO.File]::ReadAllBytes($UpdaterProgram))
    $script:Bootstrap = if ($programText.Contains($fileText + [char]0)) { $fileText }

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
    It 'is the exact text of the script file' {
        $script:Bootstrap | Should -Not -BeNullOrEmpty
        $script:Bootstrap.Split("`n").Count | Should -Be 21
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
