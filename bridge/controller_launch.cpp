// Morvellane pre-launch bridge: runs the controller through Windows PowerShell
// inside a kill-on-close job.
#include "bridge.h"

#include "prelaunch_embedded.h"

// Test builds shorten the limit at compile time; the shipped build waits 20 minutes.
#ifndef BRIDGE_CONTROLLER_TIMEOUT_MS
#define BRIDGE_CONTROLLER_TIMEOUT_MS 1200000
#endif

const int kMaximumBridgeDirectoryLength = 4096;
const int kEscapedDirectoryCapacity = 2 * kMaximumBridgeDirectoryLength + 1;
const int kComposedScriptCapacity = 16384;
const DWORD kCleanupWaitMs = 5000;

static const char kStartFailedMessage[] =
    "Morvellane prelaunch: Windows could not start its update controller.\r\n";
static const char kUnobservedMessage[] =
    "Morvellane prelaunch: update timed out or could not be observed; game start refused.\r\n";

// The composed script reaches PowerShell in its environment, never on its
// command line: security tools take an encoded or Base64 payload there for a
// disguised launcher and may end PowerShell, and the game would not start.
// The command reads the script, removes the variable so that nothing
// PowerShell starts inherits it, and dot-sources it into the global scope. A
// PowerShell held to a restricted language mode leaves with 1625 before it
// reads anything; one that finds no script leaves with 1, never 0. A plain
// -Command, not an encoded one: Windows PowerShell run from an encoded
// command with its error stream redirected writes that stream as CLIXML.
static const wchar_t kCommandLineFormat[] =
    L"\"%s\" -NoLogo -NoProfile -NonInteractive -STA -OutputFormat Text -Command \""
    L"if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') { exit 1625 }; "
    L"$morvellaneScript = $env:MORVELLANE_PROFILE_SCRIPT; $env:MORVELLANE_PROFILE_SCRIPT = $null; "
    L"if (-not $morvellaneScript) { exit 1 }; . ([scriptblock]::Create($morvellaneScript))\"";
static const wchar_t kScriptVariable[] = L"MORVELLANE_PROFILE_SCRIPT";

static wchar_t g_powerShellPath[kTextCapacity];
static wchar_t g_escapedDirectory[kEscapedDirectoryCapacity];
static wchar_t g_composedScript[kComposedScriptCapacity];
static wchar_t g_commandLine[kTextCapacity];
static wchar_t g_modulesPath[kTextCapacity];

// Windows PowerShell reads U+2018..U+201B as single quotes too; each one is
// doubled like the apostrophe, or it would end the literal early.
static bool IsSingleQuote(wchar_t unit)
{
    return unit == 0x0027 || (unit >= 0x2018 && unit <= 0x201B);
}

// The system directory followed by SUFFIX; false when unavailable or too long.
static bool BuildSystemPath(wchar_t* destination, const wchar_t* suffix)
{
    UINT length = GetSystemDirectoryW(destination, kTextCapacity);
    if (length == 0 || length >= static_cast<UINT>(kTextCapacity)) {
        return false;
    }
    for (; *suffix != L'\0'; ++suffix) {
        if (length + 1 >= static_cast<UINT>(kTextCapacity)) {
            return false;
        }
        destination[length++] = *suffix;
    }
    destination[length] = L'\0';
    return true;
}

bool ComposeControllerCommandLine(const wchar_t* powerShellPath, const wchar_t* bridgeDirectory,
                                  const wchar_t* script)
{
    int escaped = 0;
    for (int index = 0; bridgeDirectory[index] != L'\0'; ++index) {
        if (index >= kMaximumBridgeDirectoryLength) {
            return false;
        }
        if (IsSingleQuote(bridgeDirectory[index])) {
            g_escapedDirectory[escaped++] = bridgeDirectory[index];
        }
        g_escapedDirectory[escaped++] = bridgeDirectory[index];
    }
    g_escapedDirectory[escaped] = L'\0';

    if (FormatBounded(g_composedScript, kComposedScriptCapacity, L"$application = '%s'\n%s", g_escapedDirectory,
                      script) < 0) {
        return false;
    }
    return FormatBounded(g_commandLine, kTextCapacity, kCommandLineFormat, powerShellPath) >= 0;
}

const wchar_t* ControllerCommandLine()
{
    return g_commandLine;
}

const wchar_t* ComposedControllerScript()
{
    return g_composedScript;
}

// The child inherits the bridge's environment: the composed script in place
// of anything the launcher put under its name, no launcher-set execution
// policy, and modules only from the system directory.
static bool PrepareChildEnvironment()
{
    if (!SetEnvironmentVariableW(kScriptVariable, g_composedScript)) {
        return false;
    }
    if (GetEnvironmentVariableW(L"PSExecutionPolicyPreference", nullptr, 0) != 0 &&
        !SetEnvironmentVariableW(L"PSExecutionPolicyPreference", nullptr)) {
        return false;
    }
    if (!BuildSystemPath(g_modulesPath, L"\\WindowsPowerShell\\v1.0\\Modules") || !IsSafePath(g_modulesPath)) {
        return false;
    }
    return SetEnvironmentVariableW(L"PSModulePath", g_modulesPath) != FALSE;
}

// Puts the suspended controller into the job, lets it run and waits for it.
static DWORD SuperviseController(HANDLE job, const PROCESS_INFORMATION& process)
{
    if (!AssignProcessToJobObject(job, process.hProcess)) {
        TerminateProcess(process.hProcess, 5);
        WaitForSingleObject(process.hProcess, kCleanupWaitMs);
        return 5;
    }
    if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
        TerminateJobObject(job, 5);
        WaitForSingleObject(process.hProcess, kCleanupWaitMs);
        return 5;
    }
    DWORD waitResult = WaitForSingleObject(process.hProcess, BRIDGE_CONTROLLER_TIMEOUT_MS);
    if (waitResult == WAIT_OBJECT_0) {
        DWORD controllerExit = 0;
        if (!GetExitCodeProcess(process.hProcess, &controllerExit) || controllerExit == STILL_ACTIVE) {
            return 1;
        }
        return controllerExit;
    }
    DWORD exitCode = waitResult == WAIT_TIMEOUT ? 124 : 1;
    TerminateJobObject(job, exitCode);
    WaitForSingleObject(process.hProcess, kCleanupWaitMs);
    WriteBridgeMessage(kUnobservedMessage, sizeof kUnobservedMessage - 1);
    return exitCode;
}

static DWORD RunInJob(HANDLE job)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    // Created suspended and resumed only once inside the job: no controller
    // code ever runs outside it.
    if (!CreateProcessW(g_powerShellPath, g_commandLine, nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        WriteBridgeMessage(kStartFailedMessage, sizeof kStartFailedMessage - 1);
        return 5;
    }
    DWORD exitCode = SuperviseController(job, process);
    if (process.hThread != nullptr) {
        CloseHandle(process.hThread);
    }
    if (process.hProcess != nullptr) {
        CloseHandle(process.hProcess);
    }
    return exitCode;
}

DWORD LaunchController(const wchar_t* bridgeDirectory)
{
    if (!BuildSystemPath(g_powerShellPath, L"\\WindowsPowerShell\\v1.0\\powershell.exe") ||
        !IsSafePath(g_powerShellPath)) {
        return 2;
    }
    if (!ComposeControllerCommandLine(g_powerShellPath, bridgeDirectory, kPrelaunchScript)) {
        return 2;
    }
    if (!PrepareChildEnvironment()) {
        return 5;
    }
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return 5;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    DWORD exitCode = 5;
    if (SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        exitCode = RunInJob(job);
    }
    // Closing the only handle on the job ends whatever the controller left running.
    CloseHandle(job);
    return exitCode;
}
