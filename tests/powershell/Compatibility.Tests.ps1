# Windows PowerShell 5.1 is the target, PowerShell 7 only the test engine:
# every PowerShell text that ships or is embedded must parse, and must use no
# syntax that 5.1 lacks.
param(
    [string]$Pwsh,
    [string]$PrelaunchScript,
    [string]$ControllerDirectory,
    [string]$BootstrapScript,
    [string]$UpdaterProgram
)

BeforeDiscovery {
    $shipped = @(Get-ChildItem -LiteralPath $ControllerDirectory -File |
            Where-Object { $_.Extension -in '.ps1', '.psm1' } | ForEach-Object { $_.FullName }) +
        $PrelaunchScript + $BootstrapScript
    $texts = foreach ($path in $shipped) { @{ name = Split-Path -Leaf $path; path = $path } }
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
