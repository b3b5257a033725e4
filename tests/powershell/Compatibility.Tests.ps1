# Windows PowerShell 5.1 is the target, PowerShell 7 only the test engine:
# every PowerShell text that ships or is embedded must parse, and must use no
# syntax that 5.1 lacks; every file 5.1 reads must read the same there, name
# its encodings and make only hash objects that the FIPS policy allows.
param([string]$Pwsh, [string]$PrelaunchScript, [string]$ControllerDirectory, [string]$BootstrapScript, [string]$UpdaterProgram)

BeforeDiscovery {
    $shipped = @(Get-ChildItem -LiteralPath $ControllerDirectory -File |
            Where-Object { $_.Extension -in '.ps1', '.psm1' } | ForEach-Object { $_.FullName }) +
        $PrelaunchScript + $BootstrapScript
    $texts = foreach ($path in $shipped) { @{ name = Split-Path -Leaf $path; path = $path } }
    # Every file 5.1 reads as a script: these, the tests and the kit's runner
    # beside them (one folder up, in the tree and in the kit), Pester aside.
    $readBy51 = @($shipped) + @(Get-ChildItem -LiteralPath (Split-Path -Parent $PSScriptRoot) -Recurse -File |
            Where-Object { $_.Extension -in '.ps1', '.psm1' -and $_.FullName -notlike '*\pester\*' -and
                $_.FullName -notlike '*/pester/*' } | ForEach-Object { $_.FullName })
    $scriptFiles = foreach ($path in $readBy51) { @{ name = $path; path = $path } }
}

BeforeAll {
    # The names of the PowerShell 7 constructs that TEXT holds, and its parse errors.
    function Find-NewerSyntax([string]$Text) {
        $errors = $null
        $ast = [Management.Automation.Language.Parser]::ParseInput($Text, [ref]$null, [ref]$errors)
        foreach ($parseError in $errors) { "parse error: $($parseError.Message)" }
        $nodes = $ast.FindAll({ $true }, $true)
        # By type name: Windows PowerShell 5.1 has none of the newer node types.
        foreach ($node in $nodes) {
            $type = $node.GetType().Name
            switch ($node) {
                { $type -eq 'TernaryExpressionAst' } { 'ternary' }
                { $type -eq 'BinaryExpressionAst' -and "$($_.Operator)" -eq 'QuestionQuestion' } { '??' }
                { $type -eq 'AssignmentStatementAst' -and "$($_.Operator)" -eq 'QuestionQuestionEquals' } { '??=' }
                { $type -eq 'MemberExpressionAst' -and $_.NullConditional } { '?.' }
                { $type -eq 'IndexExpressionAst' -and $_.NullConditional } { '?[]' }
                { $type -eq 'PipelineChainAst' } { "$($_.Operator)" }
                { $type -eq 'ScriptBlockAst' -and $null -ne $_.CleanBlock } { 'clean' }
            }
        }
    }

    # The calls of the content cmdlets in TEXT, and in any script text it
    # carries (a here-string, or a string of more than one line), that do not
    # name -Encoding: 5.1 reads and
    # writes in the ANSI code page unless told.
    function Find-UnnamedEncoding([string]$Text) {
        $ast = [Management.Automation.Language.Parser]::ParseInput($Text, [ref]$null, [ref]$null)
        foreach ($node in $ast.FindAll({ $true }, $true)) {
            $type = $node.GetType().Name
            if ($type -eq 'CommandAst' -and
                $node.GetCommandName() -in 'Get-Content', 'Set-Content', 'Add-Content', 'Out-File', 'gc', 'sc', 'ac', 'cat', 'type' -and
                -not ($node.CommandElements | Where-Object { $_.GetType().Name -eq 'CommandParameterAst' -and
                        $_.ParameterName.Length -ge 3 -and 'encoding'.StartsWith($_.ParameterName.ToLowerInvariant()) })) {
                $node.Extent.Text
            } elseif ($type -in 'StringConstantExpressionAst', 'ExpandableStringExpressionAst' -and
                ("$($node.StringConstantType)" -like '*HereString' -or $node.Value.Contains("`n"))) {
                Find-UnnamedEncoding $node.Value
            }
        }
    }

    # The hash objects in TEXT, and in any script text it carries, that
    # Windows PowerShell 5.1 refuses under the FIPS policy: made by ::Create()
    # of an algorithm's class, or a Managed class made with ::new() or
    # New-Object. The CryptoServiceProvider and Cng classes are validated.
    function Find-UnvalidatedHash([string]$Text) {
        $namespace = '^((System\.)?Security\.Cryptography\.)?'
        $ast = [Management.Automation.Language.Parser]::ParseInput($Text, [ref]$null, [ref]$null)
        foreach ($node in $ast.FindAll({ $true }, $true)) {
            $type = $node.GetType().Name
            if ($type -eq 'InvokeMemberExpressionAst' -and $node.Static -and
                $node.Expression.GetType().Name -eq 'TypeExpressionAst') {
                $typeName = $node.Expression.TypeName.FullName
                $member = "$($node.Member.Value)"
                if (($member -eq 'Create' -and $typeName -match "$namespace(SHA1|SHA256|SHA384|SHA512|MD5|RIPEMD160|HashAlgorithm)$") -or
                    ($member -eq 'new' -and $typeName -match "$namespace\w+Managed$")) {
                    $node.Extent.Text
                }
            } elseif ($type -eq 'CommandAst' -and $node.GetCommandName() -eq 'New-Object' -and
                ($node.CommandElements | Select-Object -Skip 1 | Where-Object {
                        $_.GetType().Name -eq 'StringConstantExpressionAst' -and $_.Value -match "$namespace\w+Managed$" })) {
                $node.Extent.Text
            } elseif ($type -in 'StringConstantExpressionAst', 'ExpandableStringExpressionAst' -and
                ("$($node.StringConstantType)" -like '*HereString' -or $node.Value.Contains("`n"))) {
                Find-UnvalidatedHash $node.Value
            }
        }
    }

    # Windows PowerShell 5.1 reads a script without a byte-order mark in the
    # ANSI code page: only ASCII reads the same there as everywhere else.
    function Test-ReadsTheSameIn51([byte[]]$Bytes) {
        $bom = ($Bytes.Length -ge 3 -and $Bytes[0] -eq 0xEF -and $Bytes[1] -eq 0xBB -and $Bytes[2] -eq 0xBF) -or
            ($Bytes.Length -ge 2 -and (($Bytes[0] -eq 0xFF -and $Bytes[1] -eq 0xFE) -or ($Bytes[0] -eq 0xFE -and $Bytes[1] -eq 0xFF)))
        # Latin-1 keeps one character a byte.
        $bom -or [Text.Encoding]::GetEncoding(28591).GetString($Bytes) -notmatch '[^\x00-\x7F]'
    }
}

Describe 'The check that a script reads the same in Windows PowerShell 5.1' {
    It '<name>' -ForEach @(
        @{ name = 'passes ASCII'; bytes = [Text.Encoding]::ASCII.GetBytes("'x'"); reads = $true }
        @{ name = 'passes UTF-8 with a byte-order mark'; bytes = [byte[]](0xEF, 0xBB, 0xBF, 0x27, 0xE2, 0x80, 0x98, 0x27); reads = $true }
        @{ name = 'passes UTF-16 with a byte-order mark'; bytes = [byte[]](0xFF, 0xFE, 0x18, 0x20); reads = $true }
        @{ name = 'fails UTF-8 without one'; bytes = [byte[]](0x27, 0xE2, 0x80, 0x98, 0x27); reads = $false }
    ) {
        Test-ReadsTheSameIn51 $bytes | Should -Be $reads
    }
}

Describe 'The check that every content cmdlet names its encoding' {
    It '<name>' -ForEach @(
        @{ name = 'finds Get-Content without it'; sample = 'Get-Content -LiteralPath a'; found = 1 }
        @{ name = 'finds Out-File in a pipeline'; sample = "'x' | Out-File a"; found = 1 }
        @{ name = 'passes an abbreviated -Encoding'; sample = 'Add-Content a -Value b -Enc UTF8'; found = 0 }
        @{ name = 'finds Set-Content in script text a test carries'
           sample = ('$module = @''', 'function f { Set-Content a -Value b }', '''@') -join "`n"; found = 1 }
    ) {
        @(Find-UnnamedEncoding $sample).Count | Should -Be $found
    }
}

Describe 'The check that every hash object is one the FIPS policy allows' {
    It '<name>' -ForEach @(
        @{ name = 'finds SHA256::Create()'; sample = '$h = [Security.Cryptography.SHA256]::Create()'; found = 1 }
        @{ name = 'finds the other algorithms'' Create'
           sample = '[System.Security.Cryptography.HashAlgorithm]::Create(''SHA256''); [Security.Cryptography.MD5]::Create(); [SHA512]::Create()'
           found = 3 }
        @{ name = 'finds a Managed class made with ::new()'; sample = '[Security.Cryptography.SHA256Managed]::new()'; found = 1 }
        @{ name = 'finds a Managed class made with New-Object'
           sample = 'New-Object Security.Cryptography.SHA1Managed; New-Object -TypeName System.Security.Cryptography.SHA512Managed'
           found = 2 }
        @{ name = 'finds one in script text a test carries'
           sample = ('$module = @''', '$h = [Security.Cryptography.SHA384]::Create()', '''@') -join "`n"; found = 1 }
        @{ name = 'passes the validated classes'
           sample = '[Security.Cryptography.SHA256CryptoServiceProvider]::new(); New-Object Security.Cryptography.SHA256Cng'
           found = 0 }
        @{ name = 'passes a Create that makes no hash'; sample = '[IO.File]::Create($path); [SHA256]::HashData($b)'; found = 0 }
    ) {
        @(Find-UnvalidatedHash $sample).Count | Should -Be $found
    }
}

Describe 'The check for syntax newer than Windows PowerShell 5.1' {
    It 'finds <name>' -ForEach @(
        @{ name = 'ternary'; sample = '$a = $b ? 1 : 2' }
        @{ name = '??'; sample = '$a = $b ?? 1' }
        @{ name = '??='; sample = '$a ??= 1' }
        @{ name = '?.'; sample = '${a}?.Length' }
        @{ name = '?[]'; sample = '${a}?[0]' }
        @{ name = 'AndAnd'; sample = 'Get-Item a && Get-Item b' }
        @{ name = 'OrOr'; sample = 'Get-Item a || Get-Item b' }
        @{ name = 'clean'; sample = 'function f { process { } clean { } }' }
    ) {
        if ($PSVersionTable.PSVersion.Major -ge 7) {
            Find-NewerSyntax $sample | Should -Be $name
        } else {
            # Windows PowerShell 5.1's own parser refuses it.
            @(Find-NewerSyntax $sample)[0] | Should -Match '^parse error: '
        }
    }
}

Describe 'The shipped and embedded PowerShell texts' {
    It '<name> parses with Windows PowerShell 5.1 syntax only' -ForEach $texts {
        Find-NewerSyntax ([IO.File]::ReadAllText($path)) | Should -BeNullOrEmpty
    }
}

Describe 'Every PowerShell file that Windows PowerShell 5.1 reads' {
    It '<name> is ASCII or names its encoding' -ForEach $scriptFiles {
        Test-ReadsTheSameIn51 ([IO.File]::ReadAllBytes($path)) | Should -BeTrue
    }

    It '<name> names the encoding of every file it reads or writes with a cmdlet' -ForEach $scriptFiles {
        Find-UnnamedEncoding ([IO.File]::ReadAllText($path)) | Should -BeNullOrEmpty
    }

    It '<name> makes every hash object with a class the FIPS policy allows' -ForEach $scriptFiles {
        Find-UnvalidatedHash ([IO.File]::ReadAllText($path)) | Should -BeNullOrEmpty
    }
}
