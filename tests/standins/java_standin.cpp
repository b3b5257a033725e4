// Stands in for the real Java 21 executable, as a GUI program like javaw.exe,
// so that no console of its own changes what it is given. Records the exact text of its
// command line, the MORVELLANE_PROFILE_* variables and the execution policy
// variable (each set or unset, as Java would inherit them), its own start-up
// record and its process id into STANDIN_RECORD_DIR\java.txt, one to a line,
// and exits with STANDIN_JAVA_EXIT. With STANDIN_JAVA_ECHO set and started with
// standard handles, it writes a line to each output and echoes the first line
// of its input, as a launcher reading Java's log would see it.
// STANDIN_JAVA_CHILD leaves a process of its own running for a minute (its id
// in java-child.txt, written last); STANDIN_JAVA_HANG waits forever at the end.
// STANDIN_JAVA_INHERITED names a launcher's inheritable file handle by its
// value: Java writes a line through it, as it could only if it inherited it.
// STANDIN_JAVA_WINDOW makes Java's first window and records whether it shows.
#include <windows.h>

#include <string>

static std::wstring Variable(const wchar_t* name, bool* present = nullptr)
{
    static wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (present != nullptr) {
        *present = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    }
    return length < 32768 ? std::wstring(value, length) : std::wstring();
}

static void WriteToHandle(DWORD which, const std::string& text)
{
    HANDLE handle = GetStdHandle(which);
    DWORD written = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

// The first line of standard input, or <none> when there is no input handle.
static std::string ReadInputLine()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return "<none>";
    }
    std::string line;
    char unit = 0;
    DWORD read = 0;
    while (ReadFile(input, &unit, 1, &read, nullptr) && read == 1 && unit != '\n') {
        line.push_back(unit);
    }
    return line;
}

static void WriteRecord(const wchar_t* name, const std::wstring& text)
{
    std::wstring path = Variable(L"STANDIN_RECORD_DIR") + L"\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(file);
    }
}

// Java's first window, shown with SW_SHOWDEFAULT as a program's first window
// is: Windows then applies the show state of the start-up record.
static void ShowFirstWindow(std::wstring* record)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"MorvellaneJavaStandIn";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Java stand-in", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 320, 200, nullptr, nullptr, windowClass.hInstance, nullptr);
    ShowWindow(window, SW_SHOWDEFAULT);
    *record += L"\nWINDOW_VISIBLE=" + std::to_wstring(IsWindowVisible(window) ? 1 : 0);
    *record += L"\nWINDOW_MINIMIZED=" + std::to_wstring(IsIconic(window) ? 1 : 0);
    DestroyWindow(window);
}

// A child that Java starts, as a game starts helpers of its own: no handles of
// Java's, and it ends by itself after a minute.
static void StartChild()
{
    SetEnvironmentVariableW(L"STANDIN_ROLE", L"java-child");
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"java-child";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        WriteRecord(L"java-child.txt", std::to_wstring(process.dwProcessId));
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

int wmain()
{
    if (Variable(L"STANDIN_ROLE") == L"java-child") {
        Sleep(60000);
        return 0;
    }
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    std::wstring record = GetCommandLineW();
    for (const wchar_t* name : {L"MORVELLANE_PROFILE_GAME_DIRECTORY", L"MORVELLANE_PROFILE_STARTUP_LOG",
                                L"MORVELLANE_PROFILE_CONTROLLER", L"MORVELLANE_PROFILE_SCRIPT",
                                L"PSExecutionPolicyPreference"}) {
        SetLastError(0);
        bool present = false;
        std::wstring value = Variable(name, &present);
        record += L"\n" + std::wstring(name) + (present ? L"=" + value : L" unset");
    }
    // What Windows acts on, whatever handles Wine hands over: without
    // STARTF_USESTDHANDLES a GUI program has no standard handles.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    record += L"\nSTARTUP_FLAGS=" + std::to_wstring(startup.dwFlags);
    record += L"\nSHOW_WINDOW=" + std::to_wstring(startup.wShowWindow);
    record += L"\nRESERVED2=" + std::to_wstring(startup.cbReserved2);
    record += L"\nTITLE=" + std::wstring(startup.lpTitle != nullptr ? startup.lpTitle : L"<null>");
    record += L"\nPROCESS_ID=" + std::to_wstring(GetCurrentProcessId());
    if ((startup.dwFlags & (STARTF_USEPOSITION | STARTF_USESIZE)) != 0) {
        record += L"\nPLACE=" + std::to_wstring(startup.dwX) + L"," + std::to_wstring(startup.dwY) + L"," +
                  std::to_wstring(startup.dwXSize) + L"," + std::to_wstring(startup.dwYSize);
    }
    // A hotkey and a monitor travel in the handle members.
    if ((startup.dwFlags & STARTF_USEHOTKEY) != 0) {
        record += L"\nHOTKEY=" + std::to_wstring(reinterpret_cast<ULONG_PTR>(startup.hStdInput));
    }
    if ((startup.dwFlags & 0x400) != 0) {
        record += L"\nMONITOR=" + std::to_wstring(reinterpret_cast<ULONG_PTR>(startup.hStdOutput));
    }
    if (!Variable(L"STANDIN_JAVA_WINDOW").empty()) {
        ShowFirstWindow(&record);
    }
    std::wstring inherited = Variable(L"STANDIN_JAVA_INHERITED");
    if (!inherited.empty()) {
        const char line[] = "java wrote through the launcher's handle\r\n";
        DWORD written = 0;
        WriteFile(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(wcstoull(inherited.c_str(), nullptr, 10))), line,
                  sizeof line - 1, &written, nullptr);
    }
    if ((startup.dwFlags & STARTF_USESTDHANDLES) != 0 && !Variable(L"STANDIN_JAVA_ECHO").empty()) {
        WriteToHandle(STD_OUTPUT_HANDLE, "java stdout\r\n");
        WriteToHandle(STD_ERROR_HANDLE, "java stderr\r\n");
        WriteToHandle(STD_OUTPUT_HANDLE, "java read: " + ReadInputLine() + "\r\n");
    }
    WriteRecord(L"java.txt", record);
    WriteRecord(L"java-started.txt", std::to_wstring(started.QuadPart));
    if (!Variable(L"STANDIN_JAVA_CHILD").empty()) {
        StartChild();
    }
    if (!Variable(L"STANDIN_JAVA_HANG").empty()) {
        Sleep(INFINITE);
    }
    return static_cast<int>(wcstoul(Variable(L"STANDIN_JAVA_EXIT").c_str(), nullptr, 0));
}
