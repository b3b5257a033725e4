// The profile update before a game start, with the recording PowerShell
// stand-in at the system path: which starts run it, the exact command, script
// and variables PowerShell gets and Java does not, the failure dialog, and the
// self-test options that silence it.
#include "bootstrap_embedded.h"
#include "updater_road.h"

using namespace testsupport;

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
