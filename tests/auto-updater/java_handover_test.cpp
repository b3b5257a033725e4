// The hand-over to Java, as a launcher sees it under Wine: the Java path from
// the registry and the checks on it, the unchanged argument text and Java's
// exit code, the launcher's standard handles and start-up record, and a Kill
// that reaches Java through the updater.
#include "updater_road.h"

using namespace testsupport;

namespace {

bool JavaGotStandardHandles(const UpdaterRun& run)
{
    return (wcstoul(JavaVariable(run, L"STARTUP_FLAGS").c_str(), nullptr, 10) & STARTF_USESTDHANDLES) != 0;
}

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
    ProcessResult added = RunProcess(L"", expanded, javaHome);
    ASSERT_TRUE(added.started) << Narrow(expanded);
    EXPECT_EQ(0u, added.exitCode) << Narrow(expanded) << added.standardError;

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

}  // namespace
