// Morvellane automatic updater: stands in for the Java 21 executable. Every
// start reaches the real Java with the same argument text; a game start runs
// the profile update first.
#include "auto_updater.h"

static const wchar_t kStartFailureMessage[] =
    L"Windows could not start the original Java 21 executable. Run Morvellane Installer Repair.";
static const wchar_t kControllerFileName[] = L"Morvellane.ProfileUpdate.ps1";
const int kControllerFileNameLength = 28;
const DWORD kJavaPathBytes = 65536;
// The lowest level of the range for applications; ordinary programs have 0x280.
const DWORD kShutdownLevelBelowPrograms = 0x100;

static wchar_t g_ownPath[kBufferUnits];
static wchar_t g_systemDirectory[kBufferUnits];
static wchar_t g_argumentTail[kBufferUnits];
static wchar_t g_controllerPath[kBufferUnits];
static wchar_t g_javaPath[kBufferUnits];
static wchar_t g_commandLine[kBufferUnits];

static bool IsBlank(wchar_t unit)
{
    return unit == L' ' || unit == L'\t';
}

bool CutArgumentTail(const wchar_t* commandLine, wchar_t* tail)
{
    const wchar_t* cursor = commandLine;
    while (IsBlank(*cursor)) {
        ++cursor;
    }
    // The program name: quoted up to the next quote (no escapes), or up to a blank.
    if (*cursor == L'"') {
        ++cursor;
        while (*cursor != L'\0' && *cursor != L'"') {
            ++cursor;
        }
        if (*cursor == L'"') {
            ++cursor;
        }
    } else {
        while (*cursor != L'\0' && !IsBlank(*cursor)) {
            ++cursor;
        }
    }
    while (IsBlank(*cursor)) {
        ++cursor;
    }
    tail[0] = L'\0';
    return AppendBounded(tail, cursor);
}

static DWORD Fail(const wchar_t* message)
{
    MessageBoxW(nullptr, message, kMessageCaption, MB_ICONERROR);
    return 1;
}

static bool ReadJavaPath()
{
    DWORD type = 0;
    DWORD bytes = kJavaPathBytes;
    // Without RRF_NOEXPAND an expandable value comes back expanded, typed REG_SZ.
    LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, L"Software\\Morvellane\\Tinderwick", L"JavaExecutable",
                                  RRF_RT_REG_SZ, &type, g_javaPath, &bytes);
    return status == ERROR_SUCCESS && type == REG_SZ && bytes >= 4 && bytes <= kJavaPathBytes;
}

bool IsPlainFile(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// The own directory (separator included) followed by the controller's name.
static bool BuildControllerPath()
{
    int separator = -1;
    for (int index = 0; g_ownPath[index] != L'\0'; ++index) {
        if (g_ownPath[index] == L'\\' || g_ownPath[index] == L'/') {
            separator = index;
        }
    }
    if (separator < 0 || separator + 1 + kControllerFileNameLength >= kBufferUnits - 1) {
        return false;
    }
    for (int index = 0; index <= separator; ++index) {
        g_controllerPath[index] = g_ownPath[index];
    }
    g_controllerPath[separator + 1] = L'\0';
    return AppendBounded(g_controllerPath, kControllerFileName);
}

// Starts the real Java with the unchanged argument tail, as the launcher
// would have started it, and passes its code on.
static DWORD HandOverToJava()
{
    g_commandLine[0] = L'\0';
    bool fits = AppendBounded(g_commandLine, L"\"") && AppendBounded(g_commandLine, g_javaPath) &&
                AppendBounded(g_commandLine, L"\"");
    if (fits && g_argumentTail[0] != L'\0') {
        fits = AppendBounded(g_commandLine, L" ") && AppendBounded(g_commandLine, g_argumentTail);
    }
    Child java;
    if (!fits || !StartJava(g_javaPath, g_commandLine, &java)) {
        return Fail(kStartFailureMessage);
    }
    return WaitForExitCode(java);
}

DWORD RunAutoUpdater()
{
    // At logoff and shutdown Windows ends programs from the highest level down,
    // and a windowless one it simply ends. Below ordinary programs, Java gets
    // its end-session messages and saves the game before this program's end
    // takes Java with it.
    SetProcessShutdownParameters(kShutdownLevelBelowPrograms, 0);
    DWORD ownPathLength = GetModuleFileNameW(nullptr, g_ownPath, kBufferUnits);
    UINT systemDirectoryLength = GetSystemDirectoryW(g_systemDirectory, kBufferUnits);
    if (ownPathLength == 0 || ownPathLength >= static_cast<DWORD>(kBufferUnits) || systemDirectoryLength == 0 ||
        systemDirectoryLength >= static_cast<UINT>(kBufferUnits)) {
        return Fail(kMissingJavaMessage);
    }
    const wchar_t* commandLine = GetCommandLineW();
    if (commandLine == nullptr || !CutArgumentTail(commandLine, g_argumentTail)) {
        return Fail(kMissingJavaMessage);
    }
    // Formed on every start, so a path too long fails the same way whether or not an update runs.
    if (!BuildControllerPath()) {
        return Fail(kMissingJavaMessage);
    }
    if (!ReadJavaPath() || !IsPlainFile(g_javaPath)) {
        return Fail(kMissingJavaMessage);
    }
    // Never start ourselves. Other spellings of the same file count as different.
    if (EqualFoldingAsciiLetters(g_javaPath, g_ownPath)) {
        return Fail(kMissingJavaMessage);
    }
    int gameDirectory = ParseGameDirectoryOption();
    if (gameDirectory < 0) {
        return Fail(kMissingJavaMessage);
    }
    if (gameDirectory > 0) {
        DWORD updateExit = 0;
        if (!RunProfileUpdate(g_controllerPath, g_systemDirectory, g_commandLine, &updateExit)) {
            return Fail(kMissingJavaMessage);
        }
        if (updateExit != 0) {
            ShowUpdateFailure(kUpdateFailureMessage, updateExit, StartupLogPath(), IsSelfTestTail(g_argumentTail));
            return updateExit == 0xFFFFFFFF ? 1 : updateExit;
        }
    }
    return HandOverToJava();
}
