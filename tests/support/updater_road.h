// The automatic updater's road tests share this: the installation, the
// launcher that starts the updater, and what a run leaves to look at (Java's
// and PowerShell's records, the message box read as a person reads it).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace testsupport {

inline const std::wstring kCaption = L"Morvellane Automatic Updater";
inline const std::wstring kMissingJava =
    L"The automatic updater cannot find its original Java 21 executable. Run Morvellane Installer Repair or "
    L"uninstall the automatic updater from Windows Settings.";
inline const std::wstring kStartFailure =
    L"Windows could not start the original Java 21 executable. Run Morvellane Installer Repair.";
inline const std::wstring kUpdateFailure =
    L"Morvellane could not update safely, so this game launch was stopped. Open the startup log below for the "
    L"exact cause, then try Play again. Repair is available in the Morvellane installer.";
inline const std::wstring kPolicyNote =
    L"The launcher uses a temporary, process-only execution policy. Device policy and application control remain "
    L"in effect. See the diagnostic log for the actual failure; administrator approval may be needed if Windows "
    L"blocks execution. No user or machine policy was changed.";
constexpr wchar_t kJavaKey[] = L"Software\\Morvellane\\Tinderwick";

// One installed updater, one Java home, and a fresh records directory per run.
struct Installation {
    std::wstring directory;
    std::wstring updater;
    std::wstring javaHome;
    std::wstring java;
    std::wstring records;
};

struct Dialog {
    bool shown = false;
    std::wstring text;
    bool errorIcon = false;
};

// How a launcher starts the updater beyond its command line. With PIPES it
// reads Java's output: pipes on the updater's standard handles, output and
// error apart or in one pipe, and INPUT_LINE on standard input unless there is
// no input handle at all. STARTUP_FLAGS, SHOW_WINDOW, TITLE and RUNTIME_TABLE
// go into the updater's start-up record, with PLACE (x, y, width, height),
// HOTKEY and MONITOR where its flags name them. INHERITED_FILE, with pipes,
// is one more inheritable handle of the launcher's, named to Java by its
// value. WHILE_RUNNING gets the running updater, as a Kill button would.
struct Launcher {
    bool pipes = false;
    bool sharedOutput = false;
    bool input = true;
    std::string inputLine;
    DWORD startupFlags = 0;
    WORD showWindow = 0;
    std::wstring title;
    std::string runtimeTable;  // a C runtime's descriptor table (cbReserved2/lpReserved2)
    DWORD place[4] = {};
    ULONG_PTR hotkey = 0;
    HMONITOR monitor = nullptr;
    std::wstring inheritedFile;
    std::function<void(HANDLE updater)> whileRunning;
    std::string output;
    std::string error;
};

struct UpdaterRun {
    DWORD exitCode = 0xDEADBEEF;
    DWORD processId = 0;
    Dialog dialog;
    bool javaRan = false;
    std::wstring javaCommandLine;
    std::vector<std::wstring> javaVariables;
    bool powerShellRan = false;
    DWORD powerShellStartupFlags = 0;
    std::wstring powerShellCommandLine;
    std::wstring powerShellEnvironment;
};

inline const Installation& Installed()
{
    static Installation installation;
    if (installation.updater.empty()) {
        installation.directory = MakeFreshDirectory(L"updater");
        installation.updater = installation.directory + L"\\auto-updater.exe";
        CopyFileW((ProgramDirectory() + L"\\auto-updater.exe").c_str(), installation.updater.c_str(),
                  FALSE);
        CopyInto(TestPath(MORVELLANE_CONTROLLER_DIR, L"controller") + L"\\Morvellane.ProfileUpdate.ps1",
                 installation.directory,
                 L"Morvellane.ProfileUpdate.ps1");
        installation.javaHome = MakeFreshDirectory(L"java-home");
        installation.java = installation.javaHome + L"\\java.exe";
        CopyFileW((BinDirectory() + L"\\java-standin.exe").c_str(), installation.java.c_str(), FALSE);
        installation.records = MakeFreshDirectory(L"updater-records");
    }
    return installation;
}

inline void SetJavaValue(DWORD type, const std::wstring& text)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, kJavaKey, L"JavaExecutable", type, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

struct FoundWindow {
    DWORD processId;
    HWND window;
};

inline BOOL CALLBACK FindDialogOfProcess(HWND window, LPARAM context)
{
    FoundWindow* found = reinterpret_cast<FoundWindow*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    if (owner == found->processId && kCaption == caption && IsWindowVisible(window)) {
        found->window = window;
        return FALSE;
    }
    return TRUE;
}

inline BOOL CALLBACK FindIconControl(HWND child, LPARAM context)
{
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    if (lstrcmpiW(className, L"Static") == 0 && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        *reinterpret_cast<HWND*>(context) = child;
        return FALSE;
    }
    return TRUE;
}

inline std::vector<DWORD> Pixels(HDC source, int width, int height)
{
    std::vector<DWORD> pixels(static_cast<size_t>(width) * height);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    HBITMAP bitmap = static_cast<HBITMAP>(GetCurrentObject(source, OBJ_BITMAP));
    GetDIBits(source, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    return pixels;
}

// The pixels of an icon-sized picture that PAINT draws into a memory DC
// (the screen's DC beside it).
inline std::vector<DWORD> IconSizedPicture(const std::function<void(HDC picture, HDC screen, int width, int height)>& paint)
{
    const int width = GetSystemMetrics(SM_CXICON);
    const int height = GetSystemMetrics(SM_CYICON);
    HDC screen = GetDC(nullptr);
    HDC picture = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(picture, bitmap);
    paint(picture, screen, width, height);
    std::vector<DWORD> pixels = Pixels(picture, width, height);
    SelectObject(picture, previous);
    DeleteObject(bitmap);
    DeleteDC(picture);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// ICON drawn at the system's icon size on BACKGROUND.
inline std::vector<DWORD> DrawnIcon(HICON icon, COLORREF background)
{
    return IconSizedPicture([&](HDC picture, HDC, int width, int height) {
        HBRUSH brush = CreateSolidBrush(background);
        RECT whole = {0, 0, width, height};
        FillRect(picture, &whole, brush);
        DeleteObject(brush);
        DrawIconEx(picture, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    });
}

// The dialog's icon as pixels, and the background it is drawn on. On Windows
// the icon that CONTROL holds is drawn here, so a window that covers the
// dialog (as on a hosted runner) changes nothing. Wine draws no other
// process's icon (measured: a blank square), so there the screen is read,
// which nothing covers under Xvfb, once OWNER has painted the dialog and
// waits for input; an area still of one colour is read again.
inline std::vector<DWORD> ShownIconPixels(HWND control, HANDLE owner, COLORREF* background)
{
    *background = RGB(255, 255, 255);
    if (!UnderWine()) {
        return DrawnIcon(reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0)), *background);
    }
    WaitForInputIdle(owner, 5000);
    RECT area;
    GetWindowRect(control, &area);
    std::vector<DWORD> pixels;
    for (int waited = 0; waited <= 1000; waited += 20) {
        pixels = IconSizedPicture([&](HDC picture, HDC screen, int width, int height) {
            BitBlt(picture, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
            *background = GetPixel(picture, 0, 0);
        });
        if (!std::all_of(pixels.begin(), pixels.end(), [&](DWORD pixel) { return pixel == pixels[0]; })) {
            break;
        }
        Sleep(20);
    }
    return pixels;
}

// Which system icon the dialog shows: its icon against each candidate drawn
// the same way; the closest one wins.
inline const wchar_t* ShownSystemIcon(HWND dialog, HANDLE owner)
{
    HWND control = nullptr;
    EnumChildWindows(dialog, FindIconControl, reinterpret_cast<LPARAM>(&control));
    if (control == nullptr) {
        return L"none";
    }
    COLORREF background = 0;
    const std::vector<DWORD> shown = ShownIconPixels(control, owner, &background);
    const wchar_t* const names[] = {L"error", L"warning", L"information", L"question"};
    const LPCWSTR icons[] = {IDI_ERROR, IDI_WARNING, IDI_INFORMATION, IDI_QUESTION};
    const wchar_t* closest = L"none";
    unsigned long long best = ~0ull;
    for (int index = 0; index < 4; ++index) {
        const std::vector<DWORD> candidate = DrawnIcon(LoadIconW(nullptr, icons[index]), background);
        unsigned long long distance = 0;
        for (size_t pixel = 0; pixel < shown.size(); ++pixel) {
            for (int shift = 0; shift < 24; shift += 8) {
                distance += static_cast<unsigned long long>(
                    abs(static_cast<int>((shown[pixel] >> shift) & 0xFF) - static_cast<int>((candidate[pixel] >> shift) & 0xFF)));
            }
        }
        if (distance < best) {
            best = distance;
            closest = names[index];
        }
    }
    return closest;
}

// Reads the message box as a person would, then presses OK. The press is the
// command the OK button sends, which, unlike BM_CLICK, needs no active dialog.
inline Dialog AnswerDialog(HWND window, HANDLE owner)
{
    Dialog dialog;
    dialog.shown = true;
    static wchar_t text[40000];
    text[0] = L'\0';
    GetDlgItemTextW(window, 0xFFFF, text, 40000);
    dialog.text = text;
    dialog.errorIcon = std::wstring(ShownSystemIcon(window, owner)) == L"error";
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
    return dialog;
}

inline std::vector<std::wstring> SplitLines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    lines.push_back(text.substr(start));
    return lines;
}

// One pipe whose CHILD_END the updater inherits; this test keeps the other.
struct Pipe {
    HANDLE ours = nullptr;
    HANDLE child = nullptr;
};

inline Pipe MakePipe(bool childReads)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    CreatePipe(&read, &write, &inherit, 0);
    Pipe pipe = childReads ? Pipe{write, read} : Pipe{read, write};
    SetHandleInformation(pipe.ours, HANDLE_FLAG_INHERIT, 0);
    return pipe;
}

// Everything written into the pipe until its last writer is gone.
inline std::string ReadToEnd(HANDLE pipe)
{
    std::string text;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &read, nullptr) && read > 0) {
        text.append(chunk, read);
    }
    return text;
}

// WHILE_SUSPENDED, when given, runs with the updater's process id before it
// starts; LAUNCHER, when given, starts it as a launcher would.
inline UpdaterRun RunUpdater(const std::wstring& commandLine, const std::wstring& currentDirectory = L"",
                             const std::wstring& updater = Installed().updater,
                             const std::function<void(DWORD processId)>& whileSuspended = nullptr,
                             Launcher* launcher = nullptr)
{
    const Installation& installation = Installed();
    for (const wchar_t* name : {L"java.txt", L"java-child.txt", L"command-line.txt", L"script.txt", L"environment.txt",
                                L"startup-flags.txt", L"process.txt"}) {
        DeleteFileW((installation.records + L"\\" + name).c_str());
    }
    SetVariable(L"STANDIN_RECORD_DIR", installation.records.c_str());

    UpdaterRun run;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    Pipe input, output, error;
    const bool pipes = launcher != nullptr && launcher->pipes;
    if (launcher != nullptr) {
        startup.dwFlags = launcher->startupFlags;
        startup.wShowWindow = launcher->showWindow;
        startup.lpTitle = launcher->title.empty() ? nullptr : &launcher->title[0];
        startup.cbReserved2 = static_cast<WORD>(launcher->runtimeTable.size());
        startup.lpReserved2 =
            launcher->runtimeTable.empty() ? nullptr : reinterpret_cast<BYTE*>(&launcher->runtimeTable[0]);
        startup.dwX = launcher->place[0];
        startup.dwY = launcher->place[1];
        startup.dwXSize = launcher->place[2];
        startup.dwYSize = launcher->place[3];
        startup.hStdInput = reinterpret_cast<HANDLE>(launcher->hotkey);
        startup.hStdOutput = reinterpret_cast<HANDLE>(launcher->monitor);
    }
    HANDLE inherited = nullptr;
    if (pipes && !launcher->inheritedFile.empty()) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        inherited = CreateFileW(launcher->inheritedFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        SetVariable(L"STANDIN_JAVA_INHERITED", std::to_wstring(reinterpret_cast<ULONG_PTR>(inherited)).c_str());
    }
    if (pipes) {
        input = launcher->input ? MakePipe(true) : Pipe{};
        output = MakePipe(false);
        error = launcher->sharedOutput ? Pipe{} : MakePipe(false);
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = input.child;
        startup.hStdOutput = output.child;
        startup.hStdError = launcher->sharedOutput ? output.child : error.child;
    }
    PROCESS_INFORMATION process = {};
    std::wstring writable = commandLine;
    bool started = CreateProcessW(updater.c_str(), &writable[0], nullptr, nullptr, pipes,
                                  whileSuspended ? CREATE_SUSPENDED : 0, nullptr,
                                  currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup,
                                  &process) != FALSE;
    const DWORD startError = started ? 0 : GetLastError();
    for (HANDLE childEnd : {input.child, output.child, error.child, inherited}) {
        if (childEnd != nullptr && childEnd != INVALID_HANDLE_VALUE) {
            CloseHandle(childEnd);
        }
    }
    SetVariable(L"STANDIN_JAVA_INHERITED", nullptr);
    if (input.ours != nullptr) {
        DWORD written = 0;
        WriteFile(input.ours, launcher->inputLine.data(), static_cast<DWORD>(launcher->inputLine.size()), &written,
                  nullptr);
        CloseHandle(input.ours);
    }
    if (!started) {
        ADD_FAILURE() << "the updater did not start: error " << startError;
        for (HANDLE ours : {output.ours, error.ours}) {
            if (ours != nullptr) {
                CloseHandle(ours);
            }
        }
        return run;
    }
    run.processId = process.dwProcessId;
    if (whileSuspended) {
        whileSuspended(process.dwProcessId);
        ResumeThread(process.hThread);
    }
    if (launcher != nullptr && launcher->whileRunning) {
        launcher->whileRunning(process.hProcess);
    }
    for (int waited = 0; waited < 60000; waited += 20) {
        if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
            break;
        }
        FoundWindow found = {process.dwProcessId, nullptr};
        EnumWindows(FindDialogOfProcess, reinterpret_cast<LPARAM>(&found));
        if (found.window != nullptr) {
            EXPECT_FALSE(run.dialog.shown) << "a second message box";
            run.dialog = AnswerDialog(found.window, process.hProcess);
        }
    }
    if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the updater did not end";
        TerminateProcess(process.hProcess, 0xDEAD);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (pipes) {
        launcher->output = ReadToEnd(output.ours);
        CloseHandle(output.ours);
        if (error.ours != nullptr) {
            launcher->error = ReadToEnd(error.ours);
            CloseHandle(error.ours);
        }
    }

    std::wstring javaRecord = ReadFileUtf16(installation.records + L"\\java.txt");
    run.javaRan = !javaRecord.empty();
    if (run.javaRan) {
        std::vector<std::wstring> lines = SplitLines(javaRecord);
        run.javaCommandLine = lines[0];
        run.javaVariables.assign(lines.begin() + 1, lines.end());
    }
    run.powerShellEnvironment = ReadFileUtf16(installation.records + L"\\environment.txt");
    run.powerShellCommandLine = ReadFileUtf16(installation.records + L"\\command-line.txt");
    run.powerShellRan = !run.powerShellCommandLine.empty();
    run.powerShellStartupFlags = wcstoul(ReadFileUtf16(installation.records + L"\\startup-flags.txt").c_str(), nullptr, 10);
    return run;
}

inline std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// An updater of its own beside a controller with CONTROLLER_TEXT.
inline std::wstring InstallWithController(const std::wstring& name, const std::string& controllerText)
{
    std::wstring directory = MakeFreshDirectory(name);
    std::wstring updater = directory + L"\\auto-updater.exe";
    CopyFileW(Installed().updater.c_str(), updater.c_str(), FALSE);
    WriteFileBytes(directory + L"\\Morvellane.ProfileUpdate.ps1", controllerText);
    return updater;
}

// A game start's arguments. With the stand-in any directory does; on the
// Windows branches the real engine runs the shipped controller, which wants
// one that exists.
inline std::wstring GameStart()
{
    static const std::wstring directory = MakeFreshDirectory(L"game");
    return L" --gamedir " + Quoted(directory) + L" -Xmx2G";
}

// The value of NAME in an environment record ("NAME=value" lines), or "<unset>".
inline std::wstring RecordedVariable(const std::wstring& record, const std::wstring& name)
{
    for (const std::wstring& line : SplitLines(record)) {
        if (line.compare(0, name.size() + 1, name + L"=") == 0) {
            return line.substr(name.size() + 1);
        }
    }
    return L"<unset>";
}

inline std::wstring JavaVariable(const UpdaterRun& run, const std::wstring& name)
{
    for (const std::wstring& line : run.javaVariables) {
        if (line == name + L" unset") {
            return L"<unset>";
        }
        if (line.compare(0, name.size() + 1, name + L"=") == 0) {
            return line.substr(name.size() + 1);
        }
    }
    return L"<missing>";
}

inline void ExpectMissingJava(const UpdaterRun& run, const std::string& label)
{
    EXPECT_EQ(1u, run.exitCode) << label;
    EXPECT_TRUE(run.dialog.shown) << label;
    EXPECT_EQ(kMissingJava, run.dialog.text) << label;
    EXPECT_TRUE(run.dialog.errorIcon) << label;
    EXPECT_FALSE(run.javaRan) << label;
    EXPECT_FALSE(run.powerShellRan) << label;
}

inline std::wstring UpdateFailureText(DWORD code, const std::wstring& startupLog)
{
    return kUpdateFailure + L"\n\nExit code: " + std::to_wstring(code) +
           L"\n\nStartup details (if PowerShell could start):\n" + startupLog + L"\n\n" + kPolicyNote;
}

// Each case starts from the installed updater with the test Java as the
// registry's value and none of the variables the runs set.
class UpdaterRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        const Installation& installation = Installed();
        SetJavaValue(REG_SZ, installation.java);
        for (const wchar_t* name : {L"STANDIN_EXIT_CODE", L"STANDIN_JAVA_EXIT", L"STANDIN_JAVA_ECHO", L"STANDIN_HANG",
                                    L"STANDIN_JAVA_CHILD", L"STANDIN_JAVA_HANG", L"STANDIN_JAVA_WINDOW",
                                    L"MORVELLANE_ENGINE_CONSOLE_FILE", L"MORVELLANE_PROFILE_GAME_DIRECTORY",
                                    L"MORVELLANE_PROFILE_STARTUP_LOG", L"MORVELLANE_PROFILE_CONTROLLER",
                                    L"MORVELLANE_PROFILE_SCRIPT", L"PSExecutionPolicyPreference"}) {
            SetVariable(name, nullptr);
        }
        // Wine hands PowerShell the launcher's handles where Windows gives it a
        // console of its own: the test engine writes into a file instead.
        if (WindowsBranches() && UnderWine()) {
            SetVariable(L"MORVELLANE_ENGINE_CONSOLE_FILE", (installation.records + L"\\engine-console.txt").c_str());
        }
    }
};

// The stand-in for the whole run; the prefix gets the engine back at the end.
// The user's own Java value is put back as it was: the tests may run where
// the game is installed.
class StandInEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        RememberRegistryValue(HKEY_CURRENT_USER, kJavaKey, L"JavaExecutable");
        ASSERT_TRUE(InstallPowerShellStandIn());
    }
    void TearDown() override
    {
        InstallPowerShellEngine();
        RestoreRegistryValue(HKEY_CURRENT_USER, kJavaKey, L"JavaExecutable");
    }
};

inline const ::testing::Environment* const kStandIn = ::testing::AddGlobalTestEnvironment(new StandInEnvironment);

}  // namespace testsupport
