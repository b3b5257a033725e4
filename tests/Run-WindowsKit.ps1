# Runs the Windows kit: every test program and the Pester tests, against the
# two programs in -Release (the kit's own release folder unless told), with
# whatever stands at Windows PowerShell's system path. Needs nothing but
# Windows PowerShell 5.1:
#   powershell -NoProfile -ExecutionPolicy Bypass -File Run-WindowsKit.ps1 [-Release DIR] [-Results DIR]
# Writes each group's JUnit XML and its log into -Results, prints one line a
# group and a closing "N passed, N failed" line, and exits 1 on any failure.
# Whatever the tests change on the machine is put back at the end, even when
# a test fails or the run is stopped: the Java value, the PowerShell policy
# values, the lockdown variable, the FIPS policy value, and the temporary
# files and folders. What it found is kept in a file until then, so that
# after a hard stop (a cancelled job, a closed window) the next run puts it
# back first. Anything it cannot put back is reported and fails the run.
# -Group and -TestFilter run a part of the kit (a gtest filter for the test
# programs; for the Pester tests, each of its ':'-separated parts is a file
# name before .Tests.ps1). A group that has not ended after -GroupMinutes is
# ended with every process it started; its log keeps what it wrote, and it
# counts as a failure.
param(
    [string]$Release = (Join-Path $PSScriptRoot 'release'),
    [string]$Results = (Join-Path $PSScriptRoot 'results'),
    [string[]]$Group = @('engine-check', 'bridge', 'auto-updater', 'powershell-scripts'),
    [string]$TestFilter = '*',
    [double]$GroupMinutes = 15
)
$ErrorActionPreference = 'Stop'
# -File hands a list over as one text.
$Group = @($Group | ForEach-Object { $_ -split ',' } | Where-Object { $_ })
$kit = $PSScriptRoot
$Release = (Resolve-Path -LiteralPath $Release).Path
# Unpacked from a downloaded zip, every file carries the mark of the internet:
# Windows PowerShell then refuses to load Pester's DLL, and the controller
# files count as remote under a RemoteSigned policy.
Get-ChildItem -LiteralPath $kit, $Release -Recurse -File | Unblock-File
$env:MORVELLANE_RELEASE_DIR = $Release
New-Item -ItemType Directory -Path $Results -Force | Out-Null
$Results = (Resolve-Path -LiteralPath $Results).Path
$windowsPowerShell = Join-Path $env:SystemRoot 'System32\WindowsPowerShell\v1.0\powershell.exe'
$stateFile = Join-Path $env:ProgramData 'Morvellane\windows-kit-machine-state.clixml'
$engineCheck = 'UpdaterOnEngine.EngineSurvivesFinalisingCompiledScript'

# The registry values the tests may change: key, value name.
$touchedValues = @(
    @('HKEY_CURRENT_USER\Software\Morvellane\Tinderwick', 'JavaExecutable'),
    @('HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager\Environment', '__PSLockdownPolicy'),
    @('HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Lsa\FipsAlgorithmPolicy', 'Enabled')
)
foreach ($root in 'HKEY_LOCAL_MACHINE', 'HKEY_CURRENT_USER') {
    $touchedValues += , @("$root\SOFTWARE\Policies\Microsoft\PowerShellCore", 'UseWindowsPowerShellPolicySetting')
    $touchedValues += , @("$root\SOFTWARE\Policies\Microsoft\Windows\PowerShell", 'EnableScripts')
    $touchedValues += , @("$root\SOFTWARE\Policies\Microsoft\Windows\PowerShell", 'ExecutionPolicy')
}

function Open-RegistryKey([string]$Path, [bool]$Writable) {
    $rootName, $subKey = $Path -split '\\', 2
    $root = if ($rootName -eq 'HKEY_LOCAL_MACHINE') { [Microsoft.Win32.Registry]::LocalMachine } else { [Microsoft.Win32.Registry]::CurrentUser }
    $root.OpenSubKey($subKey, $Writable)
}

# A value as it is now: its kind and data, or its absence, and the outermost
# key of its path that does not exist.
function Get-RegistrySnapshot([string]$Path, [string]$Name) {
    $snapshot = @{ Path = $Path; Name = $Name; Exists = $false; Kind = $null; Data = $null; FirstMissingKey = $null }
    $parts = $Path -split '\\'
    for ($count = 2; $count -le $parts.Count; $count++) {
        $prefix = $parts[0..($count - 1)] -join '\'
        $key = Open-RegistryKey $prefix $false
        if ($null -eq $key) { $snapshot.FirstMissingKey = $prefix; break }
        $key.Close()
    }
    $key = Open-RegistryKey $Path $false
    if ($null -ne $key) {
        if ($key.GetValueNames() -contains $Name) {
            $snapshot.Exists = $true
            $snapshot.Kind = [string]$key.GetValueKind($Name)
            $snapshot.Data = $key.GetValue($Name, $null, [Microsoft.Win32.RegistryValueOptions]::DoNotExpandEnvironmentNames)
        }
        $key.Close()
    }
    $snapshot
}

function Get-SnapshotText($Snapshot) {
    "$($Snapshot.Exists)|$($Snapshot.Kind)|$(@($Snapshot.Data) -join '|')|$($Snapshot.FirstMissingKey)"
}

# Puts a value back as SNAPSHOT found it; throws when it cannot. A value that
# is as it was is not written: one that nothing could change, such as a
# machine value without administrator, stays untouched.
function Restore-RegistrySnapshot($Snapshot) {
    if ((Get-SnapshotText (Get-RegistrySnapshot $Snapshot.Path $Snapshot.Name)) -ceq (Get-SnapshotText $Snapshot)) {
        return
    }
    if ($Snapshot.Exists) {
        $data = if ($Snapshot.Kind -eq 'MultiString') { [string[]]$Snapshot.Data } else { $Snapshot.Data }
        [Microsoft.Win32.Registry]::SetValue($Snapshot.Path, $Snapshot.Name, $data,
            [Microsoft.Win32.RegistryValueKind]$Snapshot.Kind)
        return
    }
    $key = Open-RegistryKey $Snapshot.Path $true
    if ($null -ne $key) {
        $key.DeleteValue($Snapshot.Name, $false)
        $key.Close()
    }
    if ($Snapshot.FirstMissingKey) {
        $rootName, $subKey = $Snapshot.FirstMissingKey -split '\\', 2
        $parent = Open-RegistryKey (Split-Path -Path $Snapshot.FirstMissingKey -Parent) $true
        if ($null -ne $parent) {
            $parent.DeleteSubKeyTree((Split-Path -Path $subKey -Leaf), $false)
            $parent.Close()
        }
    }
}

# What the tests leave in the temporary folder: their folders and the
# updater's startup logs.
function Get-TemporaryLeftovers {
    @(Get-ChildItem -LiteralPath ([IO.Path]::GetTempPath()) -Force -ErrorAction SilentlyContinue |
            Where-Object { $_.Name -like 'morvellane-*' } | ForEach-Object { $_.FullName })
}

# What the run may change, as it is now.
function Get-MachineState {
    @{
        RegistryValues  = @(foreach ($value in $touchedValues) { Get-RegistrySnapshot $value[0] $value[1] })
        LeftoversBefore = @(Get-TemporaryLeftovers)
    }
}

# Puts the machine back as STATE found it; returns a line for each thing it
# could not put back.
function Restore-MachineState($State) {
    foreach ($snapshot in $State.RegistryValues) {
        try { Restore-RegistrySnapshot $snapshot } catch { "could not put back $($snapshot.Path)\$($snapshot.Name): $_" }
    }
    foreach ($path in Get-TemporaryLeftovers) {
        if ($State.LeftoversBefore -notcontains $path) {
            # A file that a process has only just closed, or that a virus
            # scanner still reads, can hold its folder for a moment.
            for ($try = 1; $try -le 10; $try++) {
                try { Remove-Item -LiteralPath $path -Recurse -Force; break }
                catch { if ($try -eq 10) { "could not remove $path`: $_" } else { Start-Sleep -Milliseconds 500 } }
            }
        }
    }
}

# Counts the test cases of a JUnit XML file (gtest's or Pester's).
function Get-JUnitCounts([string]$Path) {
    $counts = @{ Passed = 0; Failed = 0; Skipped = 0 }
    if (-not (Test-Path -LiteralPath $Path)) { return $null }
    [xml]$document = [IO.File]::ReadAllText($Path)
    foreach ($case in $document.SelectNodes('//testcase')) {
        if ($case.SelectSingleNode('failure|error')) { $counts.Failed++ }
        elseif ($case.SelectSingleNode('skipped') -or $case.GetAttribute('result') -eq 'skipped') { $counts.Skipped++ }
        else { $counts.Passed++ }
    }
    $counts
}

# Runs PROGRAM with ARGUMENTS, its output and then its error text into LOG
# (files, so that what a stopped program wrote stays); returns the exit code,
# or $null when it had to be ended after -GroupMinutes.
function Invoke-Logged([string]$Program, [string]$Arguments, [string]$Log) {
    $errorLog = "$Log.error"
    $process = Start-Process -FilePath $Program -ArgumentList $Arguments -NoNewWindow -PassThru `
        -RedirectStandardOutput $Log -RedirectStandardError $errorLog
    $null = $process.Handle  # keeps the exit code once it has ended
    $exitCode = $null
    if ($process.WaitForExit([int]($GroupMinutes * 60000))) {
        $exitCode = $process.ExitCode
    } else {
        # Its whole tree; Wine's taskkill knows no /T, so at least the group itself.
        $taskkill = Join-Path $env:SystemRoot 'System32\taskkill.exe'
        Start-Process -FilePath $env:ComSpec -ArgumentList "/c $taskkill /PID $($process.Id) /T /F >nul 2>&1" -NoNewWindow -Wait
        if (-not $process.HasExited) { $process.Kill() }
        $process.WaitForExit()
    }
    $process.Dispose()
    [IO.File]::AppendAllText($Log, [IO.File]::ReadAllText($errorLog))
    Remove-Item -LiteralPath $errorLog
    $exitCode
}

function Invoke-TestGroup([string]$Name) {
    $xml = Join-Path $Results "$Name.xml"
    $log = Join-Path $Results "$Name.log"
    Remove-Item -LiteralPath $xml, $log -Force -ErrorAction SilentlyContinue
    switch ($Name) {
        'powershell-scripts' {
            $tests = Join-Path $kit 'powershell'
            $arguments = "-NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass -File `"$tests\run-pester.ps1`"" +
                " -Pwsh `"$windowsPowerShell`" -PesterModule `"$kit\pester\Pester.psd1`"" +
                " -PrelaunchScript `"$kit\scripts\prelaunch.ps1`" -ControllerDirectory `"$kit\controller`"" +
                " -BootstrapScript `"$kit\scripts\bootstrap.ps1`" -UpdaterProgram `"$Release\auto-updater.exe`"" +
                " -ResultFile `"$xml`""
            $arguments += " -Filter `"$(@($TestFilter -split ':' | ForEach-Object { "$_.Tests.ps1" }) -join ',')`""
            $exitCode = Invoke-Logged (Get-Process -Id $PID).Path $arguments $log
        }
        default {
            $program = if ($Name -eq 'bridge') { 'bridge-tests.exe' } else { 'auto-updater-tests.exe' }
            $filter = switch ($Name) {
                'engine-check' { $engineCheck }
                'auto-updater' { "$TestFilter-$engineCheck" }
                default { $TestFilter }
            }
            $exitCode = Invoke-Logged (Join-Path $kit "bin\$program") "--gtest_filter=$filter --gtest_output=xml:`"$xml`"" $log
        }
    }
    $counts = Get-JUnitCounts $xml
    if ($null -eq $exitCode) {
        $exitCode = "none: ended after $GroupMinutes minutes"
        [IO.File]::AppendAllText($log, "`r`n$Name had not ended after $GroupMinutes minutes and was ended.`r`n")
    }
    if ($null -eq $counts) {
        # It ended before it wrote its results: a failure of its own.
        $counts = @{ Passed = 0; Failed = 1; Skipped = 0 }
        [IO.File]::AppendAllText($log, "$Name ended with exit code $exitCode before writing $xml`r`n")
    } elseif ($exitCode -ne 0 -and $counts.Failed -eq 0) {
        $counts.Failed = 1
    }
    "{0}: {1} passed, {2} failed, {3} skipped (exit code {4}; {5})" -f $Name, $counts.Passed, $counts.Failed,
        $counts.Skipped, $exitCode, $log
    $counts
}

if (Test-Path -LiteralPath $stateFile) {
    "An earlier run was stopped before it put the machine back; putting back what it found ($stateFile)."
    $failures = @(Restore-MachineState (Import-Clixml -LiteralPath $stateFile))
    if ($failures.Count -gt 0) {
        $failures
        'Not run: the machine is not as that run found it. The README says how to put it back by hand.'
        exit 1
    }
    Remove-Item -LiteralPath $stateFile
}
# Kept on disk before anything changes.
$state = Get-MachineState
New-Item -ItemType Directory -Path (Split-Path -Parent $stateFile) -Force | Out-Null
$state | Export-Clixml -LiteralPath $stateFile
$administrator = ([Security.Principal.WindowsPrincipal][Security.Principal.WindowsIdentity]::GetCurrent()).
    IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)
"Morvellane Windows kit: programs from $Release; Windows PowerShell at $windowsPowerShell; " +
    $(if ($administrator) { 'administrator' } else { 'not administrator (the machine-wide policy tests skip)' })

$passed = 0
$failed = 0
try {
    foreach ($name in $Group) {
        $lines = @(Invoke-TestGroup $name)
        $lines[0]
        $passed += $lines[1].Passed
        $failed += $lines[1].Failed
    }
} finally {
    $failures = @(Restore-MachineState $state)
    if ($failures.Count -eq 0) { Remove-Item -LiteralPath $stateFile }
}
# What could not be put back fails the run; the record stays for the next one.
$failures
$failed += $failures.Count
"$passed passed, $failed failed"
if ($failed -gt 0) { exit 1 }
exit 0
