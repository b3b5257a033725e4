// Morvellane automatic updater: starting a child and waiting for its exit code.
#include "auto_updater.h"

// Zeroes a record without relying on a C runtime's memset.
static void ZeroRecord(void* record, SIZE_T size)
{
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(record);
    for (SIZE_T index = 0; index < size; ++index) {
        bytes[index] = 0;
    }
}

// Whoever started this program chose its standard handles (a launcher's pipes),
// rather than leaving them to a console.
static bool StartedWithStandardHandles()
{
    STARTUPINFOW own;
    ZeroRecord(&own, sizeof own);
    own.cb = sizeof own;
    GetStartupInfoW(&own);
    return (own.dwFlags & STARTF_USESTDHANDLES) != 0;
}

bool StartChild(const wchar_t* application, wchar_t* commandLine, ChildHandles handles,
                PROCESS_INFORMATION* process)
{
    STARTUPINFOW startup;
    ZeroRecord(&startup, sizeof startup);
    startup.cb = sizeof startup;
    BOOL inheritHandles = FALSE;
    // Windows ignores the hStd* members without the flag, and a console child of
    // this GUI program would get a console of its own instead. Every inheritable
    // handle here came from the launcher (this program opens none), so the child
    // gets exactly what it would have got had the launcher started it directly.
    if (handles == ChildHandles::FromLauncher && StartedWithStandardHandles()) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        inheritHandles = TRUE;
    }
    ZeroRecord(process, sizeof *process);
    return CreateProcessW(application, commandLine, nullptr, nullptr, inheritHandles, 0, nullptr, nullptr, &startup,
                          process) != FALSE;
}

DWORD WaitForExitCode(const PROCESS_INFORMATION& process)
{
    DWORD exitCode = 1;
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &exitCode)) {
        exitCode = 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

DWORD RunProcessAndWait(const wchar_t* application, wchar_t* commandLine)
{
    PROCESS_INFORMATION process;
    if (!StartChild(application, commandLine, ChildHandles::None, &process)) {
        return 0xFFFFFFFF;
    }
    return WaitForExitCode(process);
}
