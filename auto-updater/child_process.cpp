// Morvellane automatic updater: starting a child and waiting for its exit code.
#include "auto_updater.h"

// With this flag hStdOutput holds the monitor for the first window, not a
// handle; the SDK headers give it no name.
const DWORD kStartUseMonitor = 0x400;

// Zeroes a record without relying on a C runtime's memset.
static void ZeroRecord(void* record, SIZE_T size)
{
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(record);
    for (SIZE_T index = 0; index < size; ++index) {
        bytes[index] = 0;
    }
}

// Java's start-up record, built from the one the launcher gave this program,
// so that Java starts as it would have been started directly: shown or hidden,
// with or without the busy pointer, where the launcher placed it, under the
// game's taskbar identity. Whatever the launcher did not set stays unset. The
// desktop is left to inheritance, which gives Java this program's: the
// launcher's choice. True when Java is to inherit the launcher's handles.
static bool CopyLaunchersStartup(STARTUPINFOW* startup)
{
    STARTUPINFOW own;
    ZeroRecord(&own, sizeof own);
    own.cb = sizeof own;
    GetStartupInfoW(&own);
    startup->dwFlags = own.dwFlags;
    startup->wShowWindow = own.wShowWindow;
    startup->dwX = own.dwX;
    startup->dwY = own.dwY;
    startup->dwXSize = own.dwXSize;
    startup->dwYSize = own.dwYSize;
    startup->dwXCountChars = own.dwXCountChars;
    startup->dwYCountChars = own.dwYCountChars;
    startup->dwFillAttribute = own.dwFillAttribute;
    // The title passes only as an app id or a shortcut's name: otherwise Windows
    // filled it with this program's path, which would become a console Java's
    // window title.
    if ((own.dwFlags & (STARTF_TITLEISAPPID | STARTF_TITLEISLINKNAME)) != 0) {
        startup->lpTitle = own.lpTitle;
    }
    bool inheritHandles = false;
    // Windows ignores the hStd* members without the flag, and a console Java
    // would get a console of its own instead. Every inheritable handle here
    // came from the launcher (this program opens none), so Java gets exactly
    // what it would have got had the launcher started it directly. The C
    // runtime's descriptor table names those handles, so it goes only with them.
    if ((own.dwFlags & STARTF_USESTDHANDLES) != 0) {
        startup->hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup->hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup->hStdError = GetStdHandle(STD_ERROR_HANDLE);
        startup->cbReserved2 = own.cbReserved2;
        startup->lpReserved2 = own.lpReserved2;
        inheritHandles = true;
    }
    // A hotkey and a monitor travel in the handle members; they pass as they are.
    if ((own.dwFlags & STARTF_USEHOTKEY) != 0) {
        startup->hStdInput = own.hStdInput;
    }
    if ((own.dwFlags & kStartUseMonitor) != 0) {
        startup->hStdOutput = own.hStdOutput;
    }
    return inheritHandles;
}

// A job that ends Java when this program ends, however it ends: a launcher's
// Kill reaches the updater, not Java. What Java starts breaks away silently
// and lives on, as it would had the launcher started Java directly. Null when
// Windows refuses one.
static HANDLE CreateJavaJob()
{
    // No security attributes: the handle is not inheritable, so a Java that
    // inherits the launcher's handles cannot keep its own job open.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroRecord(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

static void CloseChild(const Child& child)
{
    CloseHandle(child.process.hThread);
    CloseHandle(child.process.hProcess);
    if (child.job != nullptr) {
        CloseHandle(child.job);
    }
}

bool StartJava(const wchar_t* application, wchar_t* commandLine, Child* java)
{
    STARTUPINFOW startup;
    ZeroRecord(&startup, sizeof startup);
    startup.cb = sizeof startup;
    BOOL inheritHandles = CopyLaunchersStartup(&startup) ? TRUE : FALSE;
    ZeroRecord(java, sizeof *java);
    // Suspended until it is in its job, so it never runs outside it.
    if (!CreateProcessW(application, commandLine, nullptr, nullptr, inheritHandles, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &java->process)) {
        return false;
    }
    // Best effort: where Windows refuses the job (a launcher's job that allows
    // no nesting), Java runs without it, as it would have run directly.
    java->job = CreateJavaJob();
    if (java->job != nullptr && !AssignProcessToJobObject(java->job, java->process.hProcess)) {
        CloseHandle(java->job);
        java->job = nullptr;
    }
    if (ResumeThread(java->process.hThread) == static_cast<DWORD>(-1)) {
        TerminateProcess(java->process.hProcess, 1);
        CloseChild(*java);
        return false;
    }
    return true;
}

DWORD WaitForExitCode(const Child& child)
{
    DWORD exitCode = 1;
    if (WaitForSingleObject(child.process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.process.hProcess, &exitCode)) {
        exitCode = 1;
    }
    // Only Java was ever in its job (what Java started broke away), so once
    // Java has ended, closing the job ends nothing.
    CloseChild(child);
    return exitCode;
}

DWORD RunProcessAndWait(const wchar_t* application, wchar_t* commandLine)
{
    STARTUPINFOW startup;
    ZeroRecord(&startup, sizeof startup);
    startup.cb = sizeof startup;
    Child child;
    ZeroRecord(&child, sizeof child);
    // No job: a launcher's Kill during the update leaves the controller to
    // finish, rather than cut it off with the profile half written.
    if (!CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &child.process)) {
        return 0xFFFFFFFF;
    }
    return WaitForExitCode(child);
}
