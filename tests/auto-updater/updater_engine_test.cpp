// The update run with the PowerShell engine at the system path: the bootstrap,
// group policy, application control and the FIPS policy, transcripts, and the
// controller's endings, as Windows PowerShell handles them.
#include <thread>
#include <vector>

#include "updater_road.h"

#include <tlhelp32.h>

using namespace testsupport;

namespace {

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
class UpdaterOnEngine : public OnEngine<UpdaterRoad> {
protected:
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
    if (planter.joinable()) {  // not when the updater did not start
        planter.join();
    }
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

}  // namespace
