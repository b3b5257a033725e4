// The automatic updater as a launcher sees it, run under Wine (with a display)
// with the Java stand-in, and with the recording PowerShell stand-in or the
// PowerShell engine at the system path; every message box is read and answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include "bootstrap_embedded.h"
#include "test_support.h"

#include <tlhelp32.h>

using namespace testsupport;

namespace {

const std::wstring kCaption = L"Morvellane Automatic Updater";
const std::wstring kMissingJava =
    L"The automatic updater cannot find its original Java 21 executable. Run Morvellane Installer Repair or "
    L"uninstall the automatic updater from Windows Settings.";
const std::wstring kStartFailure =
    L"Windows could not start the original Java 21 executable. Run Morvellane Installer Repair.";
const std::wstring kUpdateFailure =
    L"Morvellane could not update safely, so this game launch was stopped. Open the startup log below for the "
    L"exact cause, then try Play again. Repair is available in the Morvellane installer.";
const std::wstring kPolicyNote =
    L"The launcher uses a temporary, process-only execution policy. Device policy and application control remain "
    L"in effect. See the diagnostic log for the actual failure; administrator approval may be needed if Windows "
    L"blocks execution. No user or machine policy was changed.";
const wchar_t kJavaKey[] = L"Software\\Morvellane\\Tinderwick";

std::wstring BinDirectory() { return TestPath(MORVELLANE_BIN_DIR, L"bin"); }

// One installed updater, one Java home, and a fresh records directory per run.
struct Installation {
    std::wstring directory;
    std::wstring updater;
    std::wstring javaHome;
    std::wstring java;
    std::wstring records;
};

const Installation& Installed()
{
    static Installation installation;
    if (installation.updater.empty()) {
        installation.directory = MakeFreshDirectory(L"updater");
        installation.updater = installation.directory + L"\\auto-updater.exe";
        CopyFileW((ProgramDirectory(MORVELLANE_BIN_DIR) + L"\\auto-updater.exe").c_str(), installation.updater.c_str(),
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

void SetJavaValue(DWORD type, const std::wstring& text)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, kJavaKey, L"JavaExecutable", type, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

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

struct FoundWindow {
    DWORD processId;
    HWND window;
};

BOOL CALLBACK FindDialogOfProcess(HWND window, LPARAM context)
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

BOOL CALLBACK FindIconControl(HWND child, LPARAM context)
{
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    if (lstrcmpiW(className, L"Static") == 0 && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        *reinterpret_cast<HWND*>(context) = child;
        return FALSE;
    }
    return TRUE;
}

std::vector<DWORD> Pixels(HDC source, int width, int height)
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
std::vector<DWORD> IconSizedPicture(const std::function<void(HDC picture, HDC screen, int width, int height)>& paint)
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
std::vector<DWORD> DrawnIcon(HICON icon, COLORREF background)
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
std::vector<DWORD> ShownIconPixels(HWND control, HANDLE owner, COLORREF* background)
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
        if (std::count(pixels.begin(), pixels.end(), pixels[0]) != static_cast<long>(pixels.size())) {
            break;
        }
        Sleep(20);
    }
    return pixels;
}

// Which system icon the dialog shows: its icon against each candidate drawn
// the same way; the closest one wins.
const wchar_t* ShownSystemIcon(HWND dialog, HANDLE owner)
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
Dialog AnswerDialog(HWND window, HANDLE owner)
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

std::vector<std::wstring> SplitLines(const std::wstring& text)
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

Pipe MakePipe(bool childReads)
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
std::string ReadToEnd(HANDLE pipe)
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
UpdaterRun RunUpdater(const std::wstring& commandLine, const std::wstring& currentDirectory = L"",
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
        ADD_FAILURE() << "the updater did not start";
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

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// An updater of its own beside a controller with CONTROLLER_TEXT.
std::wstring InstallWithController(const std::wstring& name, const std::string& controllerText)
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
std::wstring GameStart()
{
    static const std::wstring directory = MakeFreshDirectory(L"game");
    return L" --gamedir " + Quoted(directory) + L" -Xmx2G";
}

// The value of NAME in an environment record ("NAME=value" lines), or "<unset>".
std::wstring RecordedVariable(const std::wstring& record, const std::wstring& name)
{
    for (const std::wstring& line : SplitLines(record)) {
        if (line.compare(0, name.size() + 1, name + L"=") == 0) {
            return line.substr(name.size() + 1);
        }
    }
    return L"<unset>";
}

std::wstring JavaVariable(const UpdaterRun& run, const std::wstring& name)
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

bool JavaGotStandardHandles(const UpdaterRun& run)
{
    return (wcstoul(JavaVariable(run, L"STARTUP_FLAGS").c_str(), nullptr, 10) & STARTF_USESTDHANDLES) != 0;
}

void ExpectMissingJava(const UpdaterRun& run, const std::string& label)
{
    EXPECT_EQ(1u, run.exitCode) << label;
    EXPECT_TRUE(run.dialog.shown) << label;
    EXPECT_EQ(kMissingJava, run.dialog.text) << label;
    EXPECT_TRUE(run.dialog.errorIcon) << label;
    EXPECT_FALSE(run.javaRan) << label;
    EXPECT_FALSE(run.powerShellRan) << label;
}

std::wstring UpdateFailureText(DWORD code, const std::wstring& startupLog)
{
    return kUpdateFailure + L"\n\nExit code: " + std::to_wstring(code) +
           L"\n\nStartup details (if PowerShell could start):\n" + startupLog + L"\n\n" + kPolicyNote;
}

class UpdaterRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        const Installation& installation = Installed();
        SetJavaValue(REG_SZ, installation.java);
        for (const wchar_t* name : {L"STANDIN_EXIT_CODE", L"STANDIN_JAVA_EXIT", L"STANDIN_JAVA_ECHO",
                                    L"STANDIN_JAVA_CHILD", L"STANDIN_JAVA_HANG", L"STANDIN_HANG",
                                    L"STANDIN_JAVA_WINDOW",
                                    L"MORVELLANE_ENGINE_CONSOLE_FILE",
                                    L"MORVELLANE_PROFILE_GAME_DIRECTORY", L"MORVELLANE_PROFILE_STARTUP_LOG",
                                    L"MORVELLANE_PROFILE_CONTROLLER", L"MORVELLANE_PROFILE_SCRIPT",
                                    L"PSExecutionPolicyPreference"}) {
            SetVariable(name, nullptr);
        }
        // Wine hands PowerShell the launcher's handles where Windows gives it a
        // console of its own: the test engine writes into a file instead.
        if (WindowsBranches() && UnderWine()) {
            SetVariable(L"MORVELLANE_ENGINE_CONSOLE_FILE", (installation.records + L"\\engine-console.txt").c_str());
        }
    }
};

TEST_F(UpdaterRoad, JavaPathComesFromTheRegistryValue)
{
    const Installation& installation = Installed();
    // A one-character value is a relative path, resolved in the current directory.
    std::wstring oneLetterHome = MakeFreshDirectory(L"one-letter");
    CopyFileW(installation.java.c_str(), (oneLetterHome + L"\\j").c_str(), FALSE);
    SetVariable(L"MORVELLANE_TEST_JAVA_HOME", installation.javaHome.c_str());

    struct Case {
        const char* name;
        DWORD type;
        std::wstring value;
        bool deleteValue;
        std::wstring currentDirectory;
        std::wstring javaCommandLine;  // empty: refused
    };
    const Case cases[] = {
        {"REG_SZ", REG_SZ, installation.java, false, L"", Quoted(installation.java)},
        {"REG_EXPAND_SZ, expanded", REG_EXPAND_SZ, L"%MORVELLANE_TEST_JAVA_HOME%\\java.exe", false, L"",
         Quoted(installation.java)},
        {"one character", REG_SZ, L"j", false, oneLetterHome, L"\"j\""},
        {"empty string", REG_SZ, L"", false, L"", L""},
        {"REG_DWORD", REG_DWORD, L"", false, L"", L""},
        {"missing value", REG_SZ, L"", true, L"", L""},
    };
    for (const Case& c : cases) {
        if (c.type == REG_DWORD) {
            DWORD number = 1;
            RegSetKeyValueW(HKEY_CURRENT_USER, kJavaKey, L"JavaExecutable", REG_DWORD, &number, sizeof number);
        } else {
            SetJavaValue(c.type, c.value);
        }
        if (c.deleteValue) {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kJavaKey, L"JavaExecutable");
        }
        UpdaterRun run = RunUpdater(Quoted(installation.updater), c.currentDirectory);
        if (c.javaCommandLine.empty()) {
            ExpectMissingJava(run, c.name);
        } else {
            EXPECT_EQ(0u, run.exitCode) << c.name;
            EXPECT_FALSE(run.dialog.shown) << c.name;
            EXPECT_EQ(c.javaCommandLine, run.javaCommandLine) << c.name;
        }
    }
}

TEST_F(UpdaterRoad, ActiveSetupCommandOfTheReadmeWritesTheValueTheUpdaterStartsJavaFrom)
{
    // The README's StubPath line, as Active Setup runs it: variables expanded,
    // then started as it stands. Only the example Java path is the test's.
    const std::string readme = ReadFileBytes(TestPath(MORVELLANE_README, L"README.md"));
    const std::string start = "\"%SystemRoot%\\System32\\reg.exe\" add ";
    const size_t at = readme.find("\n" + start);
    ASSERT_NE(std::string::npos, at) << "no StubPath line in the README";
    std::string line = readme.substr(at + 1, readme.find('\n', at + 1) - at - 1);
    const std::string example = "C:\\Program Files\\Java\\jdk-21\\bin\\javaw.exe";
    ASSERT_NE(std::string::npos, line.find(example)) << line;

    const std::wstring javaHome = MakeFreshDirectory(L"Program Files");
    const std::wstring java = javaHome + L"\\javaw.exe";
    CopyFileW(Installed().java.c_str(), java.c_str(), FALSE);
    std::wstring command(line.begin(), line.end());
    command.replace(command.find(std::wstring(example.begin(), example.end())), example.size(), java);
    wchar_t expanded[4096];
    ASSERT_GT(ExpandEnvironmentStringsW(command.c_str(), expanded, 4096), 0u);

    RegDeleteKeyValueW(HKEY_CURRENT_USER, kJavaKey, L"JavaExecutable");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, expanded, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process))
        << Narrow(expanded);
    WaitForSingleObject(process.hProcess, 30000);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(0u, exitCode) << Narrow(expanded);

    UpdaterRun run = RunUpdater(Quoted(Installed().updater) + L" -version");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_FALSE(run.dialog.shown);
    EXPECT_EQ(Quoted(java) + L" -version", run.javaCommandLine);
}

TEST_F(UpdaterRoad, JavaPathThatIsNoPlainFileOrIsTheUpdaterIsRefused)
{
    const Installation& installation = Installed();
    std::wstring link = MakeFreshDirectory(L"java-link-holder") + L"\\java-link";
    std::string linkRefused;
    bool linked = MakeDirectoryLink(installation.javaHome, link, &linkRefused);
    if (!linked && WindowsBranches()) {
        GTEST_SKIP() << linkRefused;
    }
    ASSERT_TRUE(linked) << linkRefused;

    std::wstring ownPathOtherCase = installation.updater;
    for (wchar_t& unit : ownPathOtherCase) {
        unit = (unit >= L'a' && unit <= L'z') ? static_cast<wchar_t>(unit - 32) : unit;
    }
    struct Case {
        const char* name;
        std::wstring javaPath;
    };
    const Case cases[] = {
        {"a directory", installation.javaHome},
        {"a directory symlink", link},
        {"the updater itself, in other letter case", ownPathOtherCase},
        {"a missing file", installation.javaHome + L"\\missing.exe"},
    };
    for (const Case& c : cases) {
        SetJavaValue(REG_SZ, c.javaPath);
        ExpectMissingJava(RunUpdater(Quoted(installation.updater)), c.name);
    }
    // A plain file passes every check, and then Windows cannot start it.
    std::wstring notAProgram = MakeFreshDirectory(L"not-a-program") + L"\\java.exe";
    ASSERT_TRUE(WriteFileBytes(notAProgram, "not a program"));
    SetJavaValue(REG_SZ, notAProgram);
    UpdaterRun refused = RunUpdater(Quoted(installation.updater));
    EXPECT_EQ(1u, refused.exitCode);
    EXPECT_EQ(kStartFailure, refused.dialog.text);
    EXPECT_TRUE(refused.dialog.errorIcon);
    RemoveDirectoryLink(link);
}

TEST_F(UpdaterRoad, ArgumentTailReachesJavaUnchangedAndItsCodeComesBack)
{
    const Installation& installation = Installed();
    const std::wstring java = Quoted(installation.java);
    const std::wstring updater = Quoted(installation.updater);
    struct Case {
        std::wstring commandLine;
        std::wstring javaCommandLine;
        const wchar_t* javaExit;
        DWORD expectedExit;
    };
    const Case cases[] = {
        {updater, java, L"0", 0},
        {updater + L"   -Xmx2G -jar x.jar  ", java + L" -Xmx2G -jar x.jar  ", L"1", 1},
        {L"\"a.exe\"-version", java + L" -version", L"0xFFFFFFFF", 0xFFFFFFFF},
        {L"\"a b.exe", java, L"0", 0},
        {L"a\"b c\" d", java + L" c\" d", L"0", 0},
        {L" \t a.exe\t-cp x", java + L" -cp x", L"0", 0},
        {L"a.exe \"quoted arg\" --gamedirx y", java + L" \"quoted arg\" --gamedirx y", L"0", 0},
    };
    for (const Case& c : cases) {
        SetVariable(L"STANDIN_JAVA_EXIT", c.javaExit);
        UpdaterRun run = RunUpdater(c.commandLine);
        EXPECT_EQ(c.expectedExit, run.exitCode) << Narrow(c.commandLine);
        EXPECT_EQ(c.javaCommandLine, run.javaCommandLine) << Narrow(c.commandLine);
        EXPECT_FALSE(run.dialog.shown) << Narrow(c.commandLine);
        EXPECT_FALSE(run.powerShellRan) << Narrow(c.commandLine);
        // Started from a shortcut, without standard handles: Java gets none of ours either.
        EXPECT_FALSE(JavaGotStandardHandles(run)) << Narrow(c.commandLine);
    }
}

TEST_F(UpdaterRoad, JavaGetsTheLaunchersStandardHandles)
{
    const std::wstring updater = Quoted(Installed().updater);
    SetVariable(L"STANDIN_JAVA_EXIT", L"3");
    SetVariable(L"STANDIN_JAVA_ECHO", L"1");
    struct Case {
        const char* name;
        bool sharedOutput;
        bool input;
        std::string output;
        std::string error;
    };
    const Case cases[] = {
        {"separate pipes", false, true, "java stdout\r\njava read: --launch-parameters\r\n", "java stderr\r\n"},
        {"one pipe for output and error", true, true,
         "java stdout\r\njava stderr\r\njava read: --launch-parameters\r\n", ""},
        {"no input handle", true, false, "java stdout\r\njava stderr\r\njava read: <none>\r\n", ""},
    };
    struct Start {
        const wchar_t* arguments;
        bool gameStart;
    };
    const std::wstring gameStart = GameStart();
    for (const Start start : {Start{L" -Xmx2G", false}, Start{gameStart.c_str(), true}}) {
        for (const Case& c : cases) {
            const std::string label = std::string(c.name) + Narrow(start.arguments);
            Launcher launcher;
            launcher.pipes = true;
            launcher.sharedOutput = c.sharedOutput;
            launcher.input = c.input;
            launcher.inputLine = "--launch-parameters\n";
            // Started directly, Java would inherit every inheritable handle of the launcher's.
            launcher.inheritedFile = Installed().records + L"\\inherited.txt";
            UpdaterRun run = RunUpdater(updater + start.arguments, L"", Installed().updater, nullptr, &launcher);
            EXPECT_EQ(3u, run.exitCode) << label;
            EXPECT_EQ("java wrote through the launcher's handle\r\n", ReadFileBytes(launcher.inheritedFile)) << label;
            EXPECT_FALSE(run.dialog.shown) << label;
            EXPECT_TRUE(JavaGotStandardHandles(run)) << label;
            EXPECT_EQ(c.output, launcher.output) << label;
            EXPECT_EQ(c.error, launcher.error) << label;
            // The update run's PowerShell never gets the launcher's handles.
            if (!WindowsBranches()) {
                EXPECT_EQ(start.gameStart, run.powerShellRan) << label;
                EXPECT_EQ(0u, run.powerShellStartupFlags & STARTF_USESTDHANDLES) << label;
            }
        }
    }
}

TEST_F(UpdaterRoad, JavaStartsWithTheLaunchersStartupSettings)
{
    const std::wstring updater = Quoted(Installed().updater);
    struct Case {
        const char* name;
        DWORD flags;
        WORD showWindow;
        const wchar_t* title;
        bool pipes;
        const wchar_t* place;  // as Java records it, where the flags name one
        ULONG_PTR hotkey;
        bool monitor;
    };
    const HMONITOR primary = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    const Case cases[] = {
        {"hidden, without the busy pointer", STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK, SW_HIDE, L"", false,
         nullptr, 0, false},
        {"minimized at a place of the launcher's", STARTF_USESHOWWINDOW | STARTF_USEPOSITION | STARTF_USESIZE,
         SW_SHOWMINNOACTIVE, L"", false, L"120,80,640,480", 0, false},
        {"the game's taskbar identity", STARTF_TITLEISAPPID, 0, L"Morvellane.Game", false, nullptr, 0, false},
        {"nothing set, as from a shortcut", 0, 0, L"", false, nullptr, 0, false},
        {"standard handles", STARTF_USESTDHANDLES, 0, L"", true, nullptr, 0, false},
        {"the launcher's hotkey (Ctrl+A)", STARTF_USEHOTKEY, 0, L"", false, nullptr, 0x0241, false},
        {"on the launcher's monitor", 0x400, 0, L"", false, nullptr, 0, true},
    };
    // An empty descriptor table: it goes with the handles, which it would name.
    const std::string runtimeTable(4, '\0');
    const std::wstring gameStart = GameStart();
    for (const wchar_t* arguments : {L" -Xmx2G", gameStart.c_str()}) {
        for (const Case& c : cases) {
            const std::string label = std::string(c.name) + Narrow(arguments);
            Launcher launcher;
            launcher.startupFlags = c.flags;
            launcher.showWindow = c.showWindow;
            launcher.title = c.title;
            launcher.pipes = c.pipes;
            launcher.runtimeTable = runtimeTable;
            const DWORD place[4] = {120, 80, 640, 480};
            std::copy(place, place + 4, launcher.place);
            launcher.hotkey = c.hotkey;
            launcher.monitor = c.monitor ? primary : nullptr;
            UpdaterRun run = RunUpdater(updater + arguments, L"", Installed().updater, nullptr, &launcher);
            EXPECT_EQ(0u, run.exitCode) << label;
            EXPECT_EQ(c.place != nullptr ? c.place : L"<missing>", JavaVariable(run, L"PLACE")) << label;
            // Wine puts standard handles in their place, even on a direct start
            // (measured): only Windows shows the hotkey and the monitor.
            if (!UnderWine()) {
                EXPECT_EQ(c.hotkey != 0 ? std::to_wstring(c.hotkey) : L"<missing>", JavaVariable(run, L"HOTKEY"))
                    << label;
                EXPECT_EQ(c.monitor ? std::to_wstring(reinterpret_cast<ULONG_PTR>(primary)) : L"<missing>",
                          JavaVariable(run, L"MONITOR"))
                    << label;
            }
            EXPECT_EQ(std::to_wstring(c.flags), JavaVariable(run, L"STARTUP_FLAGS")) << label;
            EXPECT_EQ(std::to_wstring(c.showWindow), JavaVariable(run, L"SHOW_WINDOW")) << label;
            EXPECT_EQ(c.pipes ? L"4" : L"0", JavaVariable(run, L"RESERVED2")) << label;
            // Without an identity to pass, the title is Java's own, never the updater's path.
            std::wstring title = JavaVariable(run, L"TITLE");
            if (c.title[0] != L'\0') {
                EXPECT_EQ(c.title, title) << label;
            } else {
                EXPECT_NE(0, lstrcmpiW(Installed().updater.c_str(), title.c_str())) << label;
            }
            // The update's PowerShell keeps a record of its own.
            if (!WindowsBranches()) {
                EXPECT_EQ(0u, run.powerShellStartupFlags) << label;
            }
        }
    }
}

// What Windows does with the record: Java's first window follows the
// launcher's show state through the updater as it does when the launcher
// starts Java directly.
TEST_F(UpdaterRoad, JavaFirstWindowFollowsTheLaunchersShowState)
{
    if (UnderWine()) {
        GTEST_SKIP() << "only Windows shows it: Wine shows a program's first window even when it is started "
                        "directly with SW_HIDE (measured)";
    }
    SetVariable(L"STANDIN_JAVA_WINDOW", L"1");
    struct Case {
        const char* name;
        DWORD flags;
        WORD showWindow;
        const wchar_t* visible;
        const wchar_t* minimized;
    };
    const Case cases[] = {
        {"SW_HIDE", STARTF_USESHOWWINDOW, SW_HIDE, L"0", L"0"},
        {"SW_SHOWMINNOACTIVE", STARTF_USESHOWWINDOW, SW_SHOWMINNOACTIVE, L"1", L"1"},
        {"nothing set", 0, 0, L"1", L"0"},
    };
    const Installation& installation = Installed();
    const std::wstring gameStart = GameStart();
    for (const wchar_t* arguments : {L" -Xmx2G", gameStart.c_str()}) {
        for (const Case& c : cases) {
            const std::string label = std::string(c.name) + Narrow(arguments);
            Launcher launcher;
            launcher.startupFlags = c.flags;
            launcher.showWindow = c.showWindow;
            UpdaterRun direct = RunUpdater(Quoted(installation.java) + arguments, L"", installation.java, nullptr,
                                           &launcher);
            UpdaterRun run = RunUpdater(Quoted(installation.updater) + arguments, L"", installation.updater, nullptr,
                                        &launcher);
            EXPECT_EQ(0u, run.exitCode) << label;
            EXPECT_EQ(c.visible, JavaVariable(direct, L"WINDOW_VISIBLE")) << label;
            EXPECT_EQ(c.minimized, JavaVariable(direct, L"WINDOW_MINIMIZED")) << label;
            EXPECT_EQ(c.visible, JavaVariable(run, L"WINDOW_VISIBLE")) << label;
            EXPECT_EQ(c.minimized, JavaVariable(run, L"WINDOW_MINIMIZED")) << label;
        }
    }
}

// The process whose id a stand-in writes into the records file NAME, opened
// to watch and end it, once the file holds it; null when it never came.
HANDLE OpenRecordedProcess(const std::wstring& name)
{
    const std::wstring path = Installed().records + L"\\" + name;
    DWORD id = 0;
    for (int waited = 0; id == 0 && waited < 30000; waited += 50) {
        id = wcstoul(ReadFileUtf16(path).c_str(), nullptr, 10);
        if (id == 0) {
            Sleep(50);
        }
    }
    return id == 0 ? nullptr : OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
}

bool StillRunning(HANDLE process, DWORD watchMs)
{
    return process != nullptr && WaitForSingleObject(process, watchMs) == WAIT_TIMEOUT;
}

void EndAndClose(HANDLE process)
{
    if (process != nullptr) {
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

TEST_F(UpdaterRoad, EndingTheUpdaterEndsJavaAndNothingJavaStarted)
{
    const Installation& installation = Installed();
    const std::wstring updater = Quoted(installation.updater);
    SetVariable(L"STANDIN_JAVA_CHILD", L"1");

    // A Kill, as a launcher ends its Java: Java goes with the updater, and
    // what Java started lives on, as it would had Java been ended directly.
    // The launcher's pipes put Java's handle inheritance on.
    SetVariable(L"STANDIN_JAVA_HANG", L"1");
    const std::wstring gameStart = GameStart();
    for (const wchar_t* arguments : {L" -Xmx2G", gameStart.c_str()}) {
        bool javaEnded = false;
        bool childRunning = false;
        Launcher launcher;
        launcher.pipes = true;
        launcher.whileRunning = [&](HANDLE running) {
            HANDLE child = OpenRecordedProcess(L"java-child.txt");
            DWORD javaId = wcstoul(RecordedVariable(ReadFileUtf16(installation.records + L"\\java.txt"),
                                                    L"PROCESS_ID").c_str(), nullptr, 10);
            HANDLE java = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, javaId);
            ASSERT_TRUE(StillRunning(java, 0));
            TerminateProcess(running, 1);
            javaEnded = WaitForSingleObject(java, 5000) == WAIT_OBJECT_0;
            childRunning = StillRunning(child, 1000);
            EndAndClose(java);
            EndAndClose(child);
        };
        UpdaterRun run = RunUpdater(updater + arguments, L"", installation.updater, nullptr, &launcher);
        EXPECT_TRUE(run.javaRan) << Narrow(arguments);
        EXPECT_TRUE(javaEnded) << Narrow(arguments);
        EXPECT_TRUE(childRunning) << Narrow(arguments);
    }
    SetVariable(L"STANDIN_JAVA_HANG", nullptr);

    // Java that ends by itself takes nothing of its own with it.
    SetVariable(L"STANDIN_JAVA_EXIT", L"5");
    UpdaterRun ended = RunUpdater(updater + L" -Xmx2G");
    EXPECT_EQ(5u, ended.exitCode);
    HANDLE child = OpenRecordedProcess(L"java-child.txt");
    EXPECT_TRUE(StillRunning(child, 1000));
    EndAndClose(child);

    // A Kill during the update lets the controller finish, and no Java starts.
    // On the Windows branches a controller on the real engine hangs instead.
    std::wstring killedUpdater = installation.updater;
    if (WindowsBranches()) {
        killedUpdater = InstallWithController(
            L"hanging controller",
            "[IO.File]::WriteAllText((Join-Path $env:STANDIN_RECORD_DIR 'process.txt'), [string]$PID, "
            "(New-Object Text.UnicodeEncoding($false, $false)))\r\nStart-Sleep -Seconds 600\r\n");
    }
    SetVariable(L"STANDIN_HANG", L"1");
    bool powerShellRunning = false;
    Launcher launcher;
    launcher.whileRunning = [&](HANDLE running) {
        HANDLE powerShell = OpenRecordedProcess(L"process.txt");
        TerminateProcess(running, 1);
        powerShellRunning = StillRunning(powerShell, 1000);
        EndAndClose(powerShell);
    };
    UpdaterRun killed = RunUpdater(Quoted(killedUpdater) + gameStart, L"", killedUpdater, nullptr, &launcher);
    SetVariable(L"STANDIN_HANG", nullptr);
    EXPECT_TRUE(powerShellRunning);
    if (!WindowsBranches()) {
        EXPECT_TRUE(killed.powerShellRan);
    }
    EXPECT_FALSE(killed.javaRan);
}

TEST_F(UpdaterRoad, GameDirectoryOptionDecidesWhetherTheUpdateRuns)
{
    if (WindowsBranches()) {
        GTEST_SKIP() << kNeedsStandIn;
    }
    const std::wstring updater = Quoted(Installed().updater);
    SetVariable(L"MORVELLANE_PROFILE_GAME_DIRECTORY", L"inherited");
    struct Case {
        std::wstring arguments;
        const wchar_t* gameDirectory;  // what Java sees; null: refused with the missing-Java message
        bool update;
    };
    const Case cases[] = {
        {L" --GameDir D:\\Games\\Profile", L"D:\\Games\\Profile", true},
        {L" --GAMEDIR=D:\\Games\\Profile", L"D:\\Games\\Profile", true},
        {L" --gamedir --gamedir=x", L"--gamedir=x", true},
        {L" --gamedir =x", L"=x", true},
        {L" \"--gamedir=C:\\My Games\" -Xmx1G", L"C:\\My Games", true},
        {L" --gamedir=a=b", L"a=b", true},
        {L" -Xmx1G -jar x.jar", L"<unset>", false},
        {L" --gamedirx y -gamedir z --gamedi w \"--gamedir q\"", L"<unset>", false},
        {L" --gamed\x0130r y", L"<unset>", false},
        {L" --gamedir", nullptr, false},
        {L" --gamedir \"\"", nullptr, false},
        {L" --gamedir=", nullptr, false},
        {L" --gamedir A --gamedir=A", nullptr, false},
    };
    for (const Case& c : cases) {
        UpdaterRun run = RunUpdater(updater + c.arguments);
        if (c.gameDirectory == nullptr) {
            ExpectMissingJava(run, Narrow(c.arguments));
            continue;
        }
        EXPECT_EQ(0u, run.exitCode) << Narrow(c.arguments);
        EXPECT_EQ(c.update, run.powerShellRan) << Narrow(c.arguments);
        EXPECT_EQ(c.gameDirectory, JavaVariable(run, L"MORVELLANE_PROFILE_GAME_DIRECTORY")) << Narrow(c.arguments);
    }
    // The program name itself is never the option.
    UpdaterRun named = RunUpdater(L"--gamedir=x");
    EXPECT_FALSE(named.powerShellRan);
    EXPECT_EQ(L"<unset>", JavaVariable(named, L"MORVELLANE_PROFILE_GAME_DIRECTORY"));
}

TEST_F(UpdaterRoad, SuccessfulUpdateHandsOverWithThreeVariables)
{
    if (WindowsBranches()) {
        GTEST_SKIP() << kNeedsStandIn;
    }
    const Installation& installation = Installed();
    std::wstring commandLine = Quoted(installation.updater) + L" --gamedir C:\\game -Xmx2G";
    UpdaterRun run = RunUpdater(commandLine);
    ASSERT_TRUE(run.powerShellRan);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_FALSE(run.dialog.shown);
    EXPECT_EQ(Quoted(installation.java) + L" --gamedir C:\\game -Xmx2G", run.javaCommandLine);
    EXPECT_EQ(L"C:\\game", JavaVariable(run, L"MORVELLANE_PROFILE_GAME_DIRECTORY"));
    EXPECT_EQ(installation.directory + L"\\Morvellane.ProfileUpdate.ps1",
              JavaVariable(run, L"MORVELLANE_PROFILE_CONTROLLER"));

    // PowerShell at its system path with the fixed command; the bootstrap and
    // the process-scope Bypass in its environment alone.
    EXPECT_EQ(Quoted(PowerShellPath()) +
                  L" -NoLogo -NoProfile -Command \""
                  L"if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') { exit 1625 }; "
                  L"$morvellaneScript = $env:MORVELLANE_PROFILE_SCRIPT; $env:MORVELLANE_PROFILE_SCRIPT = $null; "
                  L"if (-not $morvellaneScript) { exit 1 }; . ([scriptblock]::Create($morvellaneScript))\"",
              run.powerShellCommandLine);
    EXPECT_EQ(kBootstrapScript, ReadFileUtf16(installation.records + L"\\script.txt"));
    EXPECT_EQ(L"Bypass", RecordedVariable(run.powerShellEnvironment, L"PSExecutionPolicyPreference"));
    EXPECT_EQ(L"<unset>", JavaVariable(run, L"MORVELLANE_PROFILE_SCRIPT"));
    EXPECT_EQ(L"<unset>", JavaVariable(run, L"PSExecutionPolicyPreference"));

    // The startup log: temporary directory, fixed prefix, process id, tick count.
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::wstring log = JavaVariable(run, L"MORVELLANE_PROFILE_STARTUP_LOG");
    std::wstring prefix = std::wstring(temp) + L"Morvellane-profile-startup-" + std::to_wstring(run.processId) + L"-";
    ASSERT_EQ(prefix, log.substr(0, prefix.size()));
    std::wstring tick = log.substr(prefix.size(), log.size() - prefix.size() - 4);
    EXPECT_EQ(L".log", log.substr(log.size() - 4));
    EXPECT_FALSE(tick.empty());
    EXPECT_EQ(std::wstring::npos, tick.find_first_not_of(L"0123456789"));
    EXPECT_EQ(log, RecordedVariable(run.powerShellEnvironment, L"MORVELLANE_PROFILE_STARTUP_LOG"));

    // Whatever the launcher had under those two names reaches Java, not PowerShell.
    SetVariable(L"MORVELLANE_PROFILE_SCRIPT", L"launcher text");
    SetVariable(L"PSExecutionPolicyPreference", L"AllSigned");
    UpdaterRun again = RunUpdater(commandLine);
    EXPECT_NE(log, JavaVariable(again, L"MORVELLANE_PROFILE_STARTUP_LOG"));
    EXPECT_EQ(kBootstrapScript, ReadFileUtf16(installation.records + L"\\script.txt"));
    EXPECT_EQ(L"Bypass", RecordedVariable(again.powerShellEnvironment, L"PSExecutionPolicyPreference"));
    EXPECT_EQ(L"launcher text", JavaVariable(again, L"MORVELLANE_PROFILE_SCRIPT"));
    EXPECT_EQ(L"AllSigned", JavaVariable(again, L"PSExecutionPolicyPreference"));
}

TEST_F(UpdaterRoad, FailedUpdateStopsTheStartWithItsDialog)
{
    if (WindowsBranches()) {
        GTEST_SKIP() << kNeedsStandIn;
    }
    const std::wstring updater = Quoted(Installed().updater);
    SetVariable(L"STANDIN_EXIT_CODE", L"7");
    UpdaterRun failed = RunUpdater(updater + L" --gamedir C:\\game");
    EXPECT_EQ(7u, failed.exitCode);
    EXPECT_FALSE(failed.javaRan);
    std::wstring log = RecordedVariable(failed.powerShellEnvironment, L"MORVELLANE_PROFILE_STARTUP_LOG");
    EXPECT_EQ(UpdateFailureText(7, log), failed.dialog.text);
    EXPECT_TRUE(failed.dialog.errorIcon);

    SetVariable(L"STANDIN_EXIT_CODE", L"0xFFFFFFFF");
    UpdaterRun minusOne = RunUpdater(updater + L" --gamedir C:\\game");
    EXPECT_EQ(1u, minusOne.exitCode);
    EXPECT_FALSE(minusOne.javaRan);
    EXPECT_NE(std::wstring::npos, minusOne.dialog.text.find(L"\n\nExit code: 4294967295\n\n"));

    // Without PowerShell the start fails the same way, showing 4294967295.
    std::wstring powerShell = PowerShellPath();
    std::wstring aside = powerShell + L".aside";
    ASSERT_TRUE(MoveFileW(powerShell.c_str(), aside.c_str()));
    UpdaterRun missing = RunUpdater(updater + L" --gamedir C:\\game");
    MoveFileW(aside.c_str(), powerShell.c_str());
    EXPECT_EQ(1u, missing.exitCode);
    EXPECT_FALSE(missing.javaRan);
    EXPECT_NE(std::wstring::npos, missing.dialog.text.find(L"\n\nExit code: 4294967295\n\n"));

    // A missing controller is a broken installation, not a failed update.
    std::wstring controller = Installed().directory + L"\\Morvellane.ProfileUpdate.ps1";
    ASSERT_TRUE(MoveFileW(controller.c_str(), (controller + L".aside").c_str()));
    UpdaterRun noController = RunUpdater(updater + L" --gamedir C:\\game");
    MoveFileW((controller + L".aside").c_str(), controller.c_str());
    ExpectMissingJava(noController, "missing controller");
}

TEST_F(UpdaterRoad, SelfTestOptionsSilenceTheDialogOnlyWhereTheReadingsPart)
{
    if (WindowsBranches()) {
        GTEST_SKIP() << kNeedsStandIn;
    }
    const std::wstring updater = Installed().updater;
    SetVariable(L"STANDIN_EXIT_CODE", L"7");
    struct Case {
        std::wstring commandLine;
        bool update;
        bool silenced;
    };
    // A leading blank makes the platform's split read the first word as an
    // argument, while the tail starts after it.
    const Case cases[] = {
        {L" --gamedir=C:\\game --self-test", true, true},
        {L" --gamedir=C:\\game --SELF-TEST", true, true},
        {L" --gamedir=C:\\game \"--elevated-self-test\"", true, true},
        {L" --gamedir=C:\\game \"--elevated-self-test", true, true},
        {L" --gamedir=C:\\game --self-test   ", true, true},
        {L" --gamedir --self-test", true, true},
        {L" --gamedir=C:\\game --self-test x", true, false},
        {L" --gamedir=C:\\game --self-test\"", true, false},
        {L" --gamedir=C:\\game --self-tes", true, false},
        {Quoted(updater) + L" --gamedir C:\\game --self-test", true, false},
        {Quoted(updater) + L" --self-test", false, false},
    };
    for (const Case& c : cases) {
        UpdaterRun run = RunUpdater(c.commandLine, L"", updater);
        EXPECT_EQ(c.update, run.powerShellRan) << Narrow(c.commandLine);
        EXPECT_EQ(c.update ? 7u : 0u, run.exitCode) << Narrow(c.commandLine);
        EXPECT_EQ(c.update && !c.silenced, run.dialog.shown) << Narrow(c.commandLine);
    }
}

// The same road with the PowerShell engine at the system path: the bootstrap,
// group policy, transcripts and exit codes as Windows handles them.
const wchar_t kCorePolicies[] = L"SOFTWARE\\Policies\\Microsoft\\PowerShellCore";
const wchar_t kWindowsPolicies[] = L"SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell";

// The three policy values the tests set, in both roots.
void ForEachPolicyValue(void (*act)(HKEY root, const wchar_t* key, const wchar_t* name))
{
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        act(root, kCorePolicies, L"UseWindowsPowerShellPolicySetting");
        act(root, kWindowsPolicies, L"EnableScripts");
        act(root, kWindowsPolicies, L"ExecutionPolicy");
    }
}

// Puts back the policy values and the lockdown as they were before the tests.
void ClearPolicies()
{
    ForEachPolicyValue(RestoreRegistryValue);
    SetMachineLockdown(false);
}

// Windows PowerShell's group-policy execution policy in ROOT: EnableScripts 0
// is Restricted, otherwise POLICY. The engine reads those keys when told to.
void SetExecutionPolicyPolicy(HKEY root, const wchar_t* policy)
{
    ForEachPolicyValue(RememberRegistryValue);
    DWORD one = 1;
    RegSetKeyValueW(root, kCorePolicies, L"UseWindowsPowerShellPolicySetting", REG_DWORD, &one, sizeof one);
    DWORD enable = policy != nullptr ? 1 : 0;
    RegSetKeyValueW(root, kWindowsPolicies, L"EnableScripts", REG_DWORD, &enable, sizeof enable);
    if (policy != nullptr) {
        RegSetKeyValueW(root, kWindowsPolicies, L"ExecutionPolicy", REG_SZ, policy,
                        static_cast<DWORD>((wcslen(policy) + 1) * sizeof(wchar_t)));
    }
}

// The engine's own output (PowerShell's console, which the updater gives no
// handles) goes to a file of the test's; only the test engine under Wine
// writes it.
class UpdaterOnEngine : public UpdaterRoad {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(InstallPowerShellEngine()); }
    static void TearDownTestSuite() { InstallPowerShellStandIn(BinDirectory()); }
    void SetUp() override
    {
        UpdaterRoad::SetUp();
        console = Installed().records + L"\\engine-console.txt";
        DeleteFileW(console.c_str());
        SetVariable(L"MORVELLANE_ENGINE_CONSOLE_FILE", console.c_str());
    }
    void TearDown() override { ClearPolicies(); }
    // Says so when PowerShell itself died on RUN rather than the script ending.
    std::string Died(const UpdaterRun& run) const { return EngineDeath(run.exitCode, ReadFileBytes(console)); }
    std::wstring console;
};

// The startup log path that the update-failure dialog names.
std::wstring DialogStartupLog(const Dialog& dialog)
{
    const std::wstring marker = L"(if PowerShell could start):\n";
    size_t start = dialog.text.find(marker);
    if (start == std::wstring::npos) {
        return std::wstring();
    }
    start += marker.size();
    return dialog.text.substr(start, dialog.text.find(L"\n\n", start) - start);
}

// Waits up to TIMEOUT_MS for the first process that PARENT starts, and
// suspends the threads it has; returns their handles (none when no process
// came), for the caller to resume and close.
std::vector<HANDLE> HoldFirstChild(DWORD parent, DWORD timeoutMs)
{
    std::vector<HANDLE> threads;
    DWORD child = 0;
    for (const DWORD start = GetTickCount(); child == 0 && GetTickCount() - start < timeoutMs;) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more && child == 0; more = Process32NextW(snapshot, &entry)) {
            child = entry.th32ParentProcessID == parent ? entry.th32ProcessID : 0;
        }
        CloseHandle(snapshot);
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); child != 0 && more; more = Thread32Next(snapshot, &entry)) {
        HANDLE thread = entry.th32OwnerProcessID == child ? OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)
                                                          : nullptr;
        if (thread != nullptr && SuspendThread(thread) != static_cast<DWORD>(-1)) {
            threads.push_back(thread);
        } else if (thread != nullptr) {
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
    return threads;
}

// The engine check, run first and on its own (engine-check): started as the
// updater starts it, the engine compiles and drops many script blocks, then
// finalises their code. Under Wine with write-xor-execute on, the runtime dies
// here on some processors.
TEST_F(UpdaterOnEngine, EngineSurvivesFinalisingCompiledScript)
{
    const std::string stress =
        "for ($i = 0; $i -lt 2000; $i++) {\r\n"
        "    $block = [scriptblock]::Create(\"param(`$x) `$x + $i\")\r\n"
        "    for ($j = 0; $j -lt 20; $j++) { $null = & $block $j }\r\n"
        "}\r\n"
        "$block = $null\r\n"
        "[GC]::Collect(); [GC]::WaitForPendingFinalizers()\r\n"
        "[GC]::Collect(); [GC]::WaitForPendingFinalizers()\r\n"
        "'finalised 2000 compiled script blocks'\r\n";
    std::wstring updater = InstallWithController(L"engine check", stress);
    UpdaterRun run = RunUpdater(Quoted(updater) + L" --gamedir \"" + MakeFreshDirectory(L"engine check game") + L"\"",
                                L"", updater);
    std::string output = ReadFileBytes(console);
    std::string death = Died(run);
    ASSERT_TRUE(death.empty()) << death;
    EXPECT_EQ(0u, run.exitCode) << EngineDescription() << " did not run the script to its end:\n" << output;
    if (UnderWine()) {
        EXPECT_TRUE(Holds(output, "finalised 2000 compiled script blocks")) << output;
    }
}

TEST_F(UpdaterOnEngine, ShippedControllerDecidesTheGameStart)
{
    const Installation& installation = Installed();
    std::wstring game = MakeFreshDirectory(L"engine game");

    UpdaterRun good = RunUpdater(Quoted(installation.updater) + L" --gamedir \"" + game + L"\"");
    EXPECT_EQ(0u, good.exitCode) << Died(good);
    EXPECT_TRUE(good.javaRan);
    EXPECT_FALSE(good.dialog.shown) << Narrow(good.dialog.text);
    std::string transcript = ReadFileBytes(JavaVariable(good, L"MORVELLANE_PROFILE_STARTUP_LOG"));
    EXPECT_TRUE(Holds(transcript, "Morvellane profile update: the game profile is ready.")) << transcript;

    UpdaterRun missing = RunUpdater(Quoted(installation.updater) + L" --gamedir \"" + game + L"\\missing\"");
    EXPECT_EQ(1u, missing.exitCode) << Died(missing);
    EXPECT_FALSE(missing.javaRan);
    std::wstring log = DialogStartupLog(missing.dialog);
    EXPECT_EQ(UpdateFailureText(1, log), missing.dialog.text);
    EXPECT_TRUE(missing.dialog.errorIcon);
    // The error the controller threw, in the transcript that the dialog names.
    transcript = ReadFileBytes(log);
    EXPECT_TRUE(Holds(transcript, "Morvellane profile update: the game directory does not exist or is not a directory."))
        << transcript;
}

TEST_F(UpdaterOnEngine, ManagedPolicyAndApplicationControlRefuseWith1625)
{
    if (!MayChangeMachineState()) {
        GTEST_SKIP() << kNeedsAdministrator;
    }
    const std::wstring game = MakeFreshDirectory(L"policy game");
    struct Case {
        const char* name;
        std::function<void()> apply;
        DWORD exitCode;
        const char* transcriptLine;
    };
    const Case cases[] = {
        {"machine policy Restricted", [] { SetExecutionPolicyPolicy(HKEY_LOCAL_MACHINE, nullptr); }, 1625,
         "Windows Group Policy requires Restricted (MachinePolicy=Restricted; UserPolicy=Undefined)."},
        {"user policy Restricted", [] { SetExecutionPolicyPolicy(HKEY_CURRENT_USER, nullptr); }, 1625,
         "Windows Group Policy requires Restricted (MachinePolicy=Undefined; UserPolicy=Restricted)."},
        {"machine policy RemoteSigned", [] { SetExecutionPolicyPolicy(HKEY_LOCAL_MACHINE, L"RemoteSigned"); }, 0,
         "Morvellane profile update: the game profile is ready."},
        // Windows PowerShell makes no script block from text in ConstrainedLanguage:
        // the command leaves before the bootstrap runs, so no transcript is made.
        {"application control", [] { SetMachineLockdown(true); }, 1625, nullptr},
    };
    for (const Case& c : cases) {
        c.apply();
        UpdaterRun run = RunUpdater(Quoted(Installed().updater) + L" --gamedir \"" + game + L"\"");
        ClearPolicies();
        EXPECT_EQ(c.exitCode, run.exitCode) << c.name << Died(run);
        EXPECT_EQ(c.exitCode == 0, run.javaRan) << c.name;
        std::wstring log = c.exitCode == 0 ? JavaVariable(run, L"MORVELLANE_PROFILE_STARTUP_LOG")
                                           : DialogStartupLog(run.dialog);
        if (c.exitCode != 0) {
            EXPECT_EQ(UpdateFailureText(c.exitCode, log), run.dialog.text) << c.name;
        }
        if (c.transcriptLine == nullptr) {
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(log.c_str())) << c.name;
            continue;
        }
        std::string transcript = ReadFileBytes(log);
        EXPECT_TRUE(Holds(transcript, c.transcriptLine)) << c.name << "\n" << transcript;
    }
}

TEST_F(UpdaterOnEngine, UnderTheFipsPolicyOnlyValidatedHashesAreMadeAndJavaStarts)
{
    if (!MayChangeMachineState()) {
        GTEST_SKIP() << "the FIPS policy " << kNeedsAdministrator;
    }
    // Windows PowerShell 5.1 refuses the managed hash classes under the
    // policy, and the test engine follows it; the validated class the
    // programs' scripts use still hashes.
    const std::string probe =
        "$refused = 0\r\n"
        "foreach ($make in { [Security.Cryptography.SHA256]::Create() }, { [Security.Cryptography.SHA256Managed]::new() }) {\r\n"
        "    try { $null = & $make } catch { if (\"$_\" -match 'FIPS validated') { $refused++ } }\r\n"
        "}\r\n"
        "$digest = [Security.Cryptography.SHA256CryptoServiceProvider]::new().ComputeHash([byte[]](97, 98, 99))\r\n"
        "if ($refused -ne 2 -or [BitConverter]::ToString($digest) -cne "
        "'BA-78-16-BF-8F-01-CF-EA-41-41-40-DE-5D-AE-22-23-B0-03-61-A3-96-17-7A-9C-B4-10-FF-61-F2-00-15-AD') {\r\n"
        "    throw \"the FIPS policy was not applied: $refused of 2 refused\"\r\n"
        "}\r\n";
    std::wstring updater = InstallWithController(L"fips", probe);
    SetFipsPolicy(true);
    UpdaterRun run = RunUpdater(Quoted(updater) + L" --gamedir \"" + MakeFreshDirectory(L"fips game") + L"\"", L"",
                                updater);
    SetFipsPolicy(false);
    EXPECT_EQ(0u, run.exitCode) << Died(run) << ReadFileBytes(DialogStartupLog(run.dialog));
    EXPECT_TRUE(run.javaRan);
}

TEST_F(UpdaterOnEngine, ExistingStartupLogIsLeftAloneAndTheRunGoesOn)
{
    const Installation& installation = Installed();
    const std::wstring game = MakeFreshDirectory(L"transcript game");
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    // The log's name holds the updater's process id and the tick count when
    // it names the log: after the tick before it is let run, before the tick
    // when its PowerShell appears. That PowerShell is held while a file is
    // planted for every tick between, so neither how fast this machine makes
    // files nor how fast it starts PowerShell matters.
    const std::wstring prefix = std::wstring(temp) + L"Morvellane-profile-startup-";
    DWORD processIdSeen = 0;
    DWORD firstTick = 0;
    DWORD lastTick = 0;
    bool held = false;
    std::thread planter;
    auto plantOnceItStarts = [&](DWORD processId) {
        processIdSeen = processId;
        firstTick = GetTickCount();
        planter = std::thread([&] {
            std::vector<HANDLE> threads = HoldFirstChild(processIdSeen, 120000);
            held = !threads.empty();
            const DWORD heldTick = GetTickCount();
            for (lastTick = firstTick; lastTick != heldTick + 1; ++lastTick) {
                WriteFileBytes(prefix + std::to_wstring(processIdSeen) + L"-" + std::to_wstring(lastTick) + L".log",
                               "earlier run");
            }
            for (HANDLE thread : threads) {
                ResumeThread(thread);
                CloseHandle(thread);
            }
        });
    };
    UpdaterRun run = RunUpdater(Quoted(installation.updater) + L" --gamedir \"" + game + L"\"", L"",
                                installation.updater, plantOnceItStarts);
    planter.join();
    ASSERT_TRUE(held) << "the updater's PowerShell was not seen";
    EXPECT_EQ(0u, run.exitCode) << Died(run);
    EXPECT_TRUE(run.javaRan);
    EXPECT_EQ("earlier run", ReadFileBytes(JavaVariable(run, L"MORVELLANE_PROFILE_STARTUP_LOG")));
    std::string output = ReadFileBytes(console);
    // A plain command, so plain text even where redirected: no CLIXML.
    if (UnderWine()) {
        EXPECT_TRUE(Holds(output, "Startup transcript could not be created.")) << output;
        EXPECT_FALSE(Holds(output, "CLIXML")) << output;
        EXPECT_TRUE(Holds(output, "Morvellane profile update: the game profile is ready.")) << output;
    }
    for (DWORD tick = firstTick; tick != lastTick; ++tick) {
        DeleteFileW((prefix + std::to_wstring(processIdSeen) + L"-" + std::to_wstring(tick) + L".log").c_str());
    }
}

TEST_F(UpdaterOnEngine, ControllerEndingsBecomeTheExitCode)
{
    // A script's own non-zero exit leaves $? false on this engine, so the
    // bootstrap makes 1 of it; a native command's code is taken as it is.
    struct Case {
        const char* name;
        std::string controller;
        DWORD exitCode;
    };
    const Case cases[] = {
        {"last native command ended with 7", "& \"$env:SystemRoot\\System32\\cmd.exe\" /c exit 7\r\n", 7},
        {"last native command ended with 0xC000013A",
         "& \"$env:SystemRoot\\System32\\cmd.exe\" /c exit -1073741510\r\n", 0xC000013A},
        {"ends with exit 7", "exit 7\r\n", 1},
        {"writes a non-terminating error", "Write-Error 'soft failure'\r\n", 1},
    };
    const std::wstring game = MakeFreshDirectory(L"ending game");
    for (const Case& c : cases) {
        std::wstring updater = InstallWithController(L"ending", c.controller);
        UpdaterRun run = RunUpdater(Quoted(updater) + L" --gamedir \"" + game + L"\"", L"", updater);
        EXPECT_EQ(c.exitCode, run.exitCode) << c.name << Died(run);
        EXPECT_FALSE(run.javaRan) << c.name;
        EXPECT_EQ(UpdateFailureText(c.exitCode, DialogStartupLog(run.dialog)), run.dialog.text) << c.name;
    }
}

// The stand-in for the whole run; the prefix gets the engine back at the end.
// The user's own Java value is put back as it was: the tests may run where
// the game is installed.
class StandInEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        RememberRegistryValue(HKEY_CURRENT_USER, kJavaKey, L"JavaExecutable");
        ASSERT_TRUE(InstallPowerShellStandIn(BinDirectory()));
    }
    void TearDown() override
    {
        InstallPowerShellEngine();
        RestoreRegistryValue(HKEY_CURRENT_USER, kJavaKey, L"JavaExecutable");
    }
};

const ::testing::Environment* const kStandIn = ::testing::AddGlobalTestEnvironment(new StandInEnvironment);

}  // namespace
