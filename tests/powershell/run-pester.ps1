# Runs the Pester tests of the PowerShell texts and exits with the number of failures.
param(
    [Parameter(Mandatory = $true)][string]$Pwsh,
    [Parameter(Mandatory = $true)][string]$PesterModule,
    [Parameter(Mandatory = $true)][string]$PrelaunchScript,
    [Parameter(Mandatory = $true)][string]$ControllerDirectory,
    [string]$BootstrapScript = '',
    [string]$UpdaterProgram = '',
    [string]$Filter = '*.Tests.ps1'
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
$containers = Get-ChildItem -Path $PSScriptRoot -Filter $Filter |
    ForEach-Object { New-PesterContainer -Path $_.FullName -Data $data }
$configuration = New-PesterConfiguration
$configuration.Run.Container = $containers
$configuration.Run.PassThru = $true
$configuration.Output.Verbosity = 'Detailed'
$result = Invoke-Pester -Configuration $configuration
"$($result.PassedCount) passed, $($result.FailedCount) failed"
exit $result.FailedCount
