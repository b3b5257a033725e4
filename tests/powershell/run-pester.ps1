# Runs the Pester tests of the PowerShell texts and exits with the number of failures.
param(
    [Parameter(Mandatory = $true)][string]$Pwsh,
    [Parameter(Mandatory = $true)][string]$PesterModule,
    [Parameter(Mandatory = $true)][string]$PrelaunchScript,
    [Parameter(Mandatory = $true)][string]$ControllerDirectory,
    [string]$BootstrapScript = '',
    [string]$UpdaterProgram = '',
    [string]$Filter = '*.Tests.ps1',
    [string]$ResultFile = ''
)
$ErrorActionPreference = 'Stop'
Import-Module (Resolve-Path -LiteralPath $PesterModule).Path

$data = @{
    Pwsh                = (Resolve-Path -LiteralPath $Pwsh).Path
    PrelaunchScript     = $PrelaunchScript
    ControllerDirectory = $ControllerDirectory
    BootstrapScript     = $BootstrapScript
    UpdaterProgram      = $UpdaterProgram
}
# FILTER: one file name pattern, or several separated by commas.
$containers = $Filter -split ',' | ForEach-Object { Get-ChildItem -Path $PSScriptRoot -Filter $_ } |
    Sort-Object FullName -Unique | ForEach-Object { New-PesterContainer -Path $_.FullName -Data $data }
$configuration = New-PesterConfiguration
$configuration.Run.Container = $containers
$configuration.Run.PassThru = $true
$configuration.Output.Verbosity = 'Detailed'
$result = Invoke-Pester -Configuration $configuration

# A file that fails in discovery, or a BeforeAll or AfterAll that fails, has
# no failed test to show for it: each counts as a failure of its own, as in
# Pester's own total.
$broken = @(foreach ($container in $result.FailedContainers) {
        @{ File = [IO.Path]::GetFileName("$($container.Item)"); Name = "$($container.Item)"; Errors = $container.ErrorRecord } }) +
    @(foreach ($block in $result.FailedBlocks) {
        @{ File = [IO.Path]::GetFileName("$($block.BlockContainer.Item)"); Name = $block.ExpandedPath; Errors = $block.ErrorRecord } })
$failed = $result.FailedCount + $broken.Count

# JUnit XML for the Windows kit, written here: Pester's own writer asks WMI
# about the machine, which never answers under Wine.
if ($ResultFile) {
    $settings = New-Object Xml.XmlWriterSettings
    $settings.Indent = $true
    $writer = [Xml.XmlWriter]::Create($ResultFile, $settings)
    $writer.WriteStartElement('testsuites')
    $writer.WriteStartElement('testsuite')
    $writer.WriteAttributeString('name', 'powershell-scripts')
    $writer.WriteAttributeString('tests', [string]($result.TotalCount + $broken.Count))
    $writer.WriteAttributeString('failures', [string]$failed)
    $writer.WriteAttributeString('skipped', [string]$result.SkippedCount)
    foreach ($test in $result.Tests) {
        $writer.WriteStartElement('testcase')
        $writer.WriteAttributeString('classname', [IO.Path]::GetFileName($test.ScriptBlock.File))
        $writer.WriteAttributeString('name', $test.ExpandedPath)
        $writer.WriteAttributeString('time', $test.Duration.TotalSeconds.ToString([Globalization.CultureInfo]::InvariantCulture))
        $reason = ($test.ErrorRecord | ForEach-Object { $_.Exception.Message }) -join "`n"
        if ($test.Result -eq 'Failed') {
            $writer.WriteStartElement('failure')
            $writer.WriteAttributeString('message', $reason)
            $writer.WriteEndElement()
        } elseif ($test.Result -ne 'Passed') {
            $writer.WriteStartElement('skipped')
            $writer.WriteAttributeString('message', "$($test.Result) $reason".Trim())
            $writer.WriteEndElement()
        }
        $writer.WriteEndElement()
    }
    foreach ($failure in $broken) {
        $writer.WriteStartElement('testcase')
        $writer.WriteAttributeString('classname', $failure.File)
        $writer.WriteAttributeString('name', "$($failure.Name) (outside any test)")
        $writer.WriteStartElement('failure')
        $writer.WriteAttributeString('message', (($failure.Errors | ForEach-Object { $_.Exception.Message }) -join "`n"))
        $writer.WriteEndElement()
        $writer.WriteEndElement()
    }
    $writer.WriteEndElement()
    $writer.WriteEndElement()
    $writer.Close()
}
"$($result.PassedCount) passed, $failed failed"
exit $failed
