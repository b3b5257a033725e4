// Stands in for Windows PowerShell at its system path. It records what it was
// given into STANDIN_RECORD_DIR and behaves as the STANDIN_* variables ask:
//   STANDIN_EXIT_CODE   exit code (decimal or 0x hex), default 0
//   STANDIN_HANG        wait forever before exiting
//   STANDIN_GRANDCHILD  leave a process of its own running (its id in grandchild.txt)
// The real scripts run on the PowerShell engine that the prefix keeps at the
// same path; this stand-in covers what the engine cannot show.
#include <windows.h>

#include <string>

static std::wstring Variable(const wchar_t* name)
{
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

static void WriteAll(const std::wstring& path, const void* data, DWORD size)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, data, size, &written, nullptr);
    CloseHandle(file);
}

static void Record(const std::wstring& directory, const wchar_t* name, const std::wstring& text)
{
    WriteAll(directory + L"\\" + name, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

// The directory inside the leading $application = '...' line, quotes undoubled.
static std::wstring ApplicationDirectory(const std::wstring& script)
{
    const std::wstring prefix = L"$application = '";
    if (script.compare(0, prefix.size(), prefix) != 0) {
        return std::wstring();
    }
    std::wstring directory;
    for (size_t index = prefix.size(); index < script.size(); ++index) {
        wchar_t unit = script[index];
        bool quote = unit == 0x27 || (unit >= 0x2018 && unit <= 0x201B);
        if (quote) {
            if (index + 1 < script.size() && script[index + 1] == unit) {
                directory.push_back(unit);
                ++index;
                continue;
            }
            break;
        }
        directory.push_back(unit);
    }
    return directory;
}

static std::wstring RecordEnvironment()
{
    std::wstring text;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        text += entry;
        text += L"\n";
    }
    FreeEnvironmentStringsW(block);
    return text;
}

static std::wstring RecordJob()
{
    BOOL inJob = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    DWORD flags = 0xFFFFFFFF;
    if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr)) {
        flags = limits.BasicLimitInformation.LimitFlags;
    }
    return L"in-job=" + std::to_wstring(inJob ? 1 : 0) + L" limit-flags=" + std::to_wstring(flags);
}

// What happens to each pinned file if the controller tries to change it.
static std::wstring RecordPinnedFileAttempts(const std::wstring& directory)
{
    static const wchar_t* const names[] = {L"Morvellane.VudivPreLaunch.ps1", L"Morvellane.Vudiv.Runtime.json",
                                           L"Morvellane.OwnedRuntime.psm1", L"Morvellane.OwnedRuntime.json"};
    std::wstring text;
    for (const wchar_t* name : names) {
        std::wstring path = directory + L"\\" + name;
        HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD writeError = writer == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (writer != INVALID_HANDLE_VALUE) {
            CloseHandle(writer);
        }
        BOOL deleted = DeleteFileW(path.c_str());
        DWORD deleteError = deleted ? 0 : GetLastError();
        text += std::wstring(name) + L" write=" + std::to_wstring(writeError) + L" delete=" +
                std::to_wstring(deleteError) + L"\n";
    }
    return text;
}

static void WriteToHandle(DWORD which, const char* text)
{
    HANDLE handle = GetStdHandle(which);
    DWORD written = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        WriteFile(handle, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    }
}

static std::wstring ReadStandardInput()
{
    char buffer[256];
    DWORD read = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE || !ReadFile(input, buffer, sizeof buffer, &read, nullptr)) {
        return L"<none>";
    }
    return std::wstring(buffer, buffer + read);
}

static void StartGrandchild(const std::wstring& recordDirectory)
{
    SetEnvironmentVariableW(L"STANDIN_ROLE", L"grandchild");
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"grandchild";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return;
    }
    Record(recordDirectory, L"grandchild.txt", std::to_wstring(process.dwProcessId));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

int wmain()
{
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    if (Variable(L"STANDIN_ROLE") == L"grandchild") {
        Sleep(INFINITE);
        return 0;
    }
    // Without STARTF_USESTDHANDLES Windows gives a console program started by a
    // GUI program a console of its own; Wine would hand over its parent's
    // handles, so they are left alone then, as on Windows.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    const bool standardHandles = (startup.dwFlags & STARTF_USESTDHANDLES) != 0;
    std::wstring recordDirectory = Variable(L"STANDIN_RECORD_DIR");
    const wchar_t* commandLine = GetCommandLineW();
    // Both programs hand their script over in this variable.
    std::wstring script = Variable(L"MORVELLANE_PROFILE_SCRIPT");
    if (!recordDirectory.empty()) {
        Record(recordDirectory, L"started.txt", std::to_wstring(started.QuadPart));
        Record(recordDirectory, L"process.txt", std::to_wstring(GetCurrentProcessId()));
        Record(recordDirectory, L"command-line.txt", commandLine);
        Record(recordDirectory, L"script.txt", script);
        Record(recordDirectory, L"environment.txt", RecordEnvironment());
        Record(recordDirectory, L"job.txt", RecordJob());
        Record(recordDirectory, L"startup-flags.txt", std::to_wstring(startup.dwFlags));
        Record(recordDirectory, L"stdin.txt", standardHandles ? ReadStandardInput() : L"<no handles>");
        std::wstring directory = ApplicationDirectory(script);
        if (!directory.empty()) {
            Record(recordDirectory, L"pinned.txt", RecordPinnedFileAttempts(directory));
        }
    }
    if (standardHandles) {
        WriteToHandle(STD_OUTPUT_HANDLE, "standin stdout\r\n");
        WriteToHandle(STD_ERROR_HANDLE, "standin stderr\r\n");
    }
    if (!Variable(L"STANDIN_GRANDCHILD").empty()) {
        StartGrandchild(recordDirectory);
    }
    if (!Variable(L"STANDIN_HANG").empty()) {
        Sleep(INFINITE);
    }
    return static_cast<int>(wcstoul(Variable(L"STANDIN_EXIT_CODE").c_str(), nullptr, 0));
}
