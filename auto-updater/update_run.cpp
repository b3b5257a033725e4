// Morvellane automatic updater: the profile update that runs before a game
// start, and the dialog that stops the start when it fails.
#include "auto_updater.h"

#include "bootstrap_embedded.h"

const wchar_t kUpdateFailureMessage[] =
    L"Morvellane could not update safely, so this game launch was stopped. Open the startup log below for the "
    L"exact cause, then try Play again. Repair is available in the Morvellane installer.";
static const wchar_t kPolicyNote[] =
    L"The launcher uses a temporary, process-only execution policy. Device policy and application control remain "
    L"in effect. See the diagnostic log for the actual failure; administrator approval may be needed if Windows "
    L"blocks execution. No user or machine policy was changed.";
static const wchar_t kPowerShellSuffix[] = L"\\WindowsPowerShell\\v1.0\\powershell.exe";
// The bootstrap reaches PowerShell in its environment, never on its command
// line: security tools take an encoded payload or an execution-policy switch
// there for a disguised launcher and may end PowerShell. The command reads
// the script, removes the variable so that nothing PowerShell starts inherits
// it, and dot-sources it into the global scope. Windows PowerShell refuses
// to make a script block in a restricted language mode, so there the command
// itself leaves with 1625; one that finds no script leaves with 1, never 0.
static const wchar_t kPowerShellCommand[] =
    L"\" -NoLogo -NoProfile -Command \""
    L"if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') { exit 1625 }; "
    L"$morvellaneScript = $env:MORVELLANE_PROFILE_SCRIPT; $env:MORVELLANE_PROFILE_SCRIPT = $null; "
    L"if (-not $morvellaneScript) { exit 1 }; . ([scriptblock]::Create($morvellaneScript))\"";
static const wchar_t* const kSelfTestOptions[] = {L"--self-test", L"--elevated-self-test"};

// A variable that PowerShell's start alone may see, and what the launcher
// had under its name, to be put back before Java can inherit it.
struct LentVariable {
    const wchar_t* name;
    bool present;
    wchar_t saved[kBufferUnits];
};

static wchar_t g_startupLogPath[kBufferUnits];
static wchar_t g_dialogText[kBufferUnits];
// The process scope of PowerShell's execution policy lives in this variable;
// the bootstrap needs Bypass there to run the controller file.
static LentVariable g_executionPolicy = {L"PSExecutionPolicyPreference", false, {}};
static LentVariable g_script = {L"MORVELLANE_PROFILE_SCRIPT", false, {}};

void FormatUnsignedDecimal(DWORD value, wchar_t* destination)
{
    wchar_t reversed[10];
    int count = 0;
    do {
        reversed[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int index = 0; index < count; ++index) {
        destination[index] = reversed[count - 1 - index];
    }
    destination[count] = L'\0';
}

int PublishStartupLogPath(const wchar_t* prefix, const wchar_t* variable)
{
    // The temporary directory already ends with a separator.
    DWORD length = GetTempPathW(kBufferUnits, g_startupLogPath);
    if (length == 0 || length >= static_cast<DWORD>(kBufferUnits)) {
        return 0;
    }
    wchar_t processId[11];
    wchar_t tickCount[11];
    FormatUnsignedDecimal(GetCurrentProcessId(), processId);
    FormatUnsignedDecimal(GetTickCount(), tickCount);
    if (!AppendBounded(g_startupLogPath, prefix) || !AppendBounded(g_startupLogPath, processId) ||
        !AppendBounded(g_startupLogPath, L"-") || !AppendBounded(g_startupLogPath, tickCount) ||
        !AppendBounded(g_startupLogPath, L".log")) {
        return 0;
    }
    return SetEnvironmentVariableW(variable, g_startupLogPath);
}

const wchar_t* StartupLogPath()
{
    return g_startupLogPath;
}

bool IsSelfTestTail(const wchar_t* argumentTail)
{
    bool quoted = argumentTail[0] == L'"';
    const wchar_t* start = quoted ? argumentTail + 1 : argumentTail;
    for (const wchar_t* option : kSelfTestOptions) {
        const wchar_t* cursor = start;
        const wchar_t* expected = option;
        while (*expected != L'\0' && FoldAsciiLetter(*cursor) == *expected) {
            ++cursor;
            ++expected;
        }
        if (*expected != L'\0') {
            continue;
        }
        if (quoted && *cursor == L'"') {
            ++cursor;
        }
        while (*cursor == L' ' || *cursor == L'\t') {
            ++cursor;
        }
        if (*cursor == L'\0') {
            return true;
        }
    }
    return false;
}

void ShowUpdateFailure(const wchar_t* message, DWORD code, const wchar_t* startupLogPath, bool silenced)
{
    if (silenced) {
        return;
    }
    wchar_t codeText[11];
    FormatUnsignedDecimal(code, codeText);
    const wchar_t* const pieces[] = {message,
                                     L"\n\nExit code: ",
                                     codeText,
                                     L"\n\nStartup details (if PowerShell could start):\n",
                                     startupLogPath,
                                     L"\n\n",
                                     kPolicyNote};
    // A text too long for the dialog is cut at 32,767 characters, never refused.
    g_dialogText[0] = L'\0';
    for (const wchar_t* piece : pieces) {
        if (!AppendBounded(g_dialogText, piece)) {
            break;
        }
    }
    MessageBoxW(nullptr, g_dialogText, kMessageCaption, MB_ICONERROR);
}

bool ComposeUpdateCommandLine(const wchar_t* powerShellPath, wchar_t* commandLine)
{
    commandLine[0] = L'\0';
    return AppendBounded(commandLine, L"\"") && AppendBounded(commandLine, powerShellPath) &&
           AppendBounded(commandLine, kPowerShellCommand);
}

// Keeps what the launcher had under the variable's name, then sets VALUE.
static bool LendVariable(LentVariable* variable, const wchar_t* value)
{
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableW(variable->name, variable->saved, kBufferUnits);
    DWORD error = GetLastError();
    if (length >= static_cast<DWORD>(kBufferUnits) ||
        (length == 0 && error != ERROR_SUCCESS && error != ERROR_ENVVAR_NOT_FOUND)) {
        return false;
    }
    variable->present = length > 0 || error == ERROR_SUCCESS;
    return SetEnvironmentVariableW(variable->name, value) != FALSE;
}

static bool TakeVariableBack(const LentVariable& variable)
{
    return SetEnvironmentVariableW(variable.name, variable.present ? variable.saved : nullptr) != FALSE;
}

bool RunProfileUpdate(const wchar_t* controllerPath, wchar_t* systemDirectory, wchar_t* commandLine,
                      DWORD* updateExit)
{
    if (!IsPlainFile(controllerPath)) {
        return false;
    }
    // The system directory becomes the PowerShell path in place; no other place is tried.
    if (!AppendBounded(systemDirectory, kPowerShellSuffix)) {
        return false;
    }
    if (!PublishStartupLogPath(L"Morvellane-profile-startup-", L"MORVELLANE_PROFILE_STARTUP_LOG") ||
        !SetEnvironmentVariableW(L"MORVELLANE_PROFILE_CONTROLLER", controllerPath)) {
        return false;
    }
    if (!ComposeUpdateCommandLine(systemDirectory, commandLine)) {
        return false;
    }
    // Only PowerShell's start sees these two; Java, and whatever Java or the
    // game starts, inherit what the launcher gave, or nothing. Where one
    // cannot be put back, Java does not start.
    if (!LendVariable(&g_script, kBootstrapScript) || !LendVariable(&g_executionPolicy, L"Bypass")) {
        return false;
    }
    *updateExit = RunProcessAndWait(systemDirectory, commandLine);
    return TakeVariableBack(g_script) && TakeVariableBack(g_executionPolicy);
}
