// The pre-launch bridge as a launcher sees it, run under Wine: with the
// recording PowerShell stand-in at the system path, and with the PowerShell
// engine there for the real scripts.
#include <gtest/gtest.h>

#include <functional>

#include "test_support.h"

using namespace testsupport;

namespace {

const std::string kArgumentsLine = "Morvellane prelaunch: arguments are not accepted.\r\n";
const std::string kIntegrityLine = "Morvellane prelaunch: controller integrity failed; run Installer Repair.\r\n";
const std::string kTimeoutLine =
    "Morvellane prelaunch: update timed out or could not be observed; game start refused.\r\n";

const wchar_t* const kPinnedNames[4] = {L"Morvellane.VudivPreLaunch.ps1", L"Morvellane.Vudiv.Runtime.json",
                                        L"Morvellane.OwnedRuntime.psm1", L"Morvellane.OwnedRuntime.json"};
const DWORD kMaximumSizes[4] = {262144, 65536, 262144, 65536};

// The shipped pin set and the tests' own, in the build tree or the kit.
std::wstring ShippedPins() { return TestPath(MORVELLANE_CONTROLLER_DIR, L"controller"); }
std::wstring MaximumSizePins() { return TestPath(MORVELLANE_MAX_SIZE_PIN_DIR, L"pins\\max-size"); }
std::wstring TestEntryPins() { return TestPath(MORVELLANE_TEST_ENTRY_PIN_DIR, L"pins\\test-entry"); }

std::wstring SystemDirectory()
{
    wchar_t path[MAX_PATH];
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

// A bridge laid out as the installer lays it out, plus a directory for the
// stand-in's records.
struct Package {
    std::wstring directory;
    std::wstring bridge;
    std::wstring records;
};

// The shipped bridge comes from the build under test; the tests' own
// builds (BRIDGE_NAME) from the test programs' folder.
Package MakePackage(const std::wstring& name, const wchar_t* bridgeName = L"prelaunch-bridge.exe",
                    const std::wstring& pinSource = ShippedPins())
{
    Package package;
    package.directory = MakeFreshDirectory(name);
    package.records = MakeFreshDirectory(name + L"-records");
    package.bridge = package.directory + L"\\prelaunch-bridge.exe";
    const bool shipped = std::wstring(bridgeName) == L"prelaunch-bridge.exe";
    CopyFileW(((shipped ? ProgramDirectory() : BinDirectory()) + L"\\" + bridgeName).c_str(),
              package.bridge.c_str(), FALSE);
    for (const wchar_t* pinned : kPinnedNames) {
        CopyInto(pinSource + L"\\" + pinned, package.directory, pinned);
    }
    SetVariable(L"STANDIN_RECORD_DIR", package.records.c_str());
    return package;
}

ProcessResult RunBridge(const Package& package, const std::wstring& arguments = L"",
                        StandardError standardError = StandardError::File, const std::string& input = "")
{
    return RunProcess(package.bridge, L"\"" + package.bridge + L"\"" + arguments, package.records, standardError,
                      input);
}

bool PowerShellStarted(const Package& package)
{
    return GetFileAttributesW((package.records + L"\\command-line.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
}

// True when the process whose id the stand-in recorded in FILE is gone.
bool RecordedProcessGone(const Package& package, const wchar_t* file)
{
    std::wstring id = ReadFileUtf16(package.records + L"\\" + file);
    if (id.empty()) {
        return false;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, wcstoul(id.c_str(), nullptr, 10));
    if (process == nullptr) {
        return true;
    }
    bool gone = WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return gone;
}

class BridgeRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const wchar_t* name : {L"STANDIN_EXIT_CODE", L"STANDIN_HANG", L"STANDIN_GRANDCHILD",
                                    L"MORVELLANE_TEST_ENTRY", L"PSExecutionPolicyPreference",
                                    L"MORVELLANE_PROFILE_SCRIPT"}) {
            SetVariable(name, nullptr);
        }
    }
};

TEST_F(BridgeRoad, AnyArgumentIsRefusedBeforeAnyFileIsTouched)
{
    // No pinned files at all: had the bridge gone on to verify them, the
    // integrity line would follow.
    for (const wchar_t* arguments : {L" x", L" \"\"", L" --help", L" a b", L"\t-"}) {
        Package package = MakePackage(L"arguments");
        for (const wchar_t* pinned : kPinnedNames) {
            DeleteFileW((package.directory + L"\\" + pinned).c_str());
        }
        ProcessResult result = RunBridge(package, arguments);
        EXPECT_EQ(87u, result.exitCode) << Narrow(arguments);
        EXPECT_EQ(kArgumentsLine, result.standardError) << Narrow(arguments);
        EXPECT_FALSE(PowerShellStarted(package));
    }
}

TEST_F(BridgeRoad, EveryIntegrityFaultGivesOneLineAndCode13)
{
    struct Fault {
        const char* name;
        int file;
        std::function<void(const std::wstring& path)> apply;
    };
    const Fault faults[] = {
        {"missing", 0, [](const std::wstring& path) { DeleteFileW(path.c_str()); }},
        {"empty", 1, [](const std::wstring& path) { WriteFileBytes(path, ""); }},
        {"one byte over the maximum", 2,
         [](const std::wstring& path) {
             std::string bytes = ReadFileBytes(path);
             bytes.resize(kMaximumSizes[2] + 1, ' ');
             WriteFileBytes(path, bytes);
         }},
        {"one byte changed", 3,
         [](const std::wstring& path) {
             std::string bytes = ReadFileBytes(path);
             bytes[bytes.size() / 2] ^= 0x01;
             WriteFileBytes(path, bytes);
         }},
        {"leaf is a directory", 1,
         [](const std::wstring& path) {
             DeleteFileW(path.c_str());
             CreateDirectoryW(path.c_str(), nullptr);
         }},
    };
    for (const Fault& fault : faults) {
        Package package = MakePackage(L"integrity");
        fault.apply(package.directory + L"\\" + kPinnedNames[fault.file]);
        ProcessResult result = RunBridge(package);
        EXPECT_EQ(13u, result.exitCode) << fault.name;
        EXPECT_EQ(kIntegrityLine, result.standardError) << fault.name;
        EXPECT_FALSE(PowerShellStarted(package)) << fault.name;
    }
}

TEST_F(BridgeRoad, DirectorySymlinkOnTheWayIsRefusedEvenWhenItLeadsToGoodFiles)
{
    Package package = MakePackage(L"symlink-target");
    std::wstring link = MakeFreshDirectory(L"symlink-holder") + L"\\via-link";
    std::string refused;
    bool linked = MakeDirectoryLink(package.directory, link, &refused);
    if (!linked && WindowsBranches()) {
        GTEST_SKIP() << refused;
    }
    ASSERT_TRUE(linked) << refused;

    std::wstring throughLink = link + L"\\prelaunch-bridge.exe";
    ProcessResult result = RunProcess(throughLink, L"\"" + throughLink + L"\"", package.records);
    ASSERT_TRUE(result.started) << GetLastError();
    EXPECT_EQ(13u, result.exitCode);
    EXPECT_EQ(kIntegrityLine, result.standardError);
    EXPECT_FALSE(PowerShellStarted(package));

    // The same files through the real directory are fine.
    EXPECT_EQ(0u, RunBridge(package).exitCode);
    RemoveDirectoryLink(link);
}

TEST_F(BridgeRoad, FilesOfExactlyTheirMaximumSizePass)
{
    if (WindowsBranches()) {
        GTEST_SKIP() << kNeedsStandIn;
    }
    Package package = MakePackage(L"maximum-size", L"prelaunch-bridge-max-size.exe", MaximumSizePins());
    for (int index = 0; index < 4; ++index) {
        ASSERT_EQ(kMaximumSizes[index], ReadFileBytes(package.directory + L"\\" + kPinnedNames[index]).size());
    }
    ProcessResult result = RunBridge(package);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_TRUE(PowerShellStarted(package));
}

TEST_F(BridgeRoad, ControllerGetsTheExactCommandEnvironmentJobAndHandles)
{
    if (WindowsBranches()) {
        GTEST_SKIP() << kNeedsStandIn;
    }
    // U+0027 and U+2019 both end a PowerShell single-quoted literal.
    Package package = MakePackage(L"O'Brien \x2019quoted\x2019");
    SetVariable(L"PSExecutionPolicyPreference", L"Unrestricted");
    SetVariable(L"PSModulePath", L"C:\\launcher\\modules");
    SetVariable(L"MORVELLANE_PROFILE_SCRIPT", L"exit 0");
    ProcessResult result = RunBridge(package, L"", StandardError::File, "standin stdin");
    SetVariable(L"PSExecutionPolicyPreference", nullptr);
    ASSERT_EQ(0u, result.exitCode);

    // The script in PowerShell's environment, in place of the launcher's text
    // under that name; the command line fixed.
    std::wstring powerShell = SystemDirectory() + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
    EXPECT_EQ(L"\"" + powerShell +
                  L"\" -NoLogo -NoProfile -NonInteractive -STA -OutputFormat Text -Command \""
                  L"if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') { exit 1625 }; "
                  L"$morvellaneScript = $env:MORVELLANE_PROFILE_SCRIPT; $env:MORVELLANE_PROFILE_SCRIPT = $null; "
                  L"if (-not $morvellaneScript) { exit 1 }; . ([scriptblock]::Create($morvellaneScript))\"",
              ReadFileUtf16(package.records + L"\\command-line.txt"));

    std::string embedded = ReadFileBytes(TestPath(MORVELLANE_PRELAUNCH_SCRIPT, L"scripts\\prelaunch.ps1"));
    std::wstring escaped;
    for (wchar_t unit : package.directory) {
        escaped += (unit == L'\'' || unit == 0x2019) ? std::wstring(2, unit) : std::wstring(1, unit);
    }
    std::wstring expectedScript =
        L"$application = '" + escaped + L"'\n" + std::wstring(embedded.begin(), embedded.end());
    EXPECT_EQ(expectedScript, ReadFileUtf16(package.records + L"\\script.txt"));

    std::wstring environment = ReadFileUtf16(package.records + L"\\environment.txt");
    EXPECT_NE(std::wstring::npos,
              environment.find(L"\nPSModulePath=" + SystemDirectory() + L"\\WindowsPowerShell\\v1.0\\Modules\n"));
    EXPECT_EQ(std::wstring::npos, environment.find(L"PSExecutionPolicyPreference="));

    // Wine does not report the limit flags back; kill-on-close itself is
    // proven by the leftover process test below.
    EXPECT_EQ(0u, ReadFileUtf16(package.records + L"\\job.txt").find(L"in-job=1 "));
    std::wstring pinned = ReadFileUtf16(package.records + L"\\pinned.txt");
    for (const wchar_t* name : kPinnedNames) {
        EXPECT_NE(std::wstring::npos, pinned.find(std::wstring(name) + L" write=32 delete=32\n")) << Narrow(pinned);
    }
    EXPECT_EQ(L"standin stdin", ReadFileUtf16(package.records + L"\\stdin.txt"));
    EXPECT_EQ("standin stdout\r\n", result.standardOutput);
    EXPECT_EQ("standin stderr\r\n", result.standardError);
}

TEST_F(BridgeRoad, ControllerExitCodesPassThroughAndLeftoversEnd)
{
    if (WindowsBranches()) {
        // The real engine: the test entry leaves each code for the prelaunch script.
        const struct {
            const wchar_t* entryCode;
            DWORD bridgeExit;
        } codes[] = {{L"0", 0}, {L"7", 7}, {L"-1073741510", 0xC000013A}, {L"259", 1}};
        for (const auto& c : codes) {
            Package package = MakePackage(L"exit-codes", L"prelaunch-bridge-test-entry.exe", TestEntryPins());
            SetVariable(L"MORVELLANE_TEST_ENTRY", c.entryCode);
            ProcessResult result = RunBridge(package);
            EXPECT_EQ(c.bridgeExit, result.exitCode)
                << Narrow(c.entryCode) << EngineDeath(result.exitCode, result.standardError);
        }
        GTEST_SKIP() << "leftovers after a normal end and an unstartable PowerShell " << kNeedsStandIn;
    }
    struct Case {
        const wchar_t* controllerExit;
        bool grandchild;
        DWORD bridgeExit;
    };
    const Case cases[] = {
        {L"0", false, 0}, {L"7", false, 7}, {L"0xC000013A", false, 0xC000013A}, {L"259", false, 1},
        {L"0", true, 0},
    };
    for (const Case& c : cases) {
        Package package = MakePackage(L"exit-codes");
        SetVariable(L"STANDIN_EXIT_CODE", c.controllerExit);
        SetVariable(L"STANDIN_GRANDCHILD", c.grandchild ? L"1" : nullptr);
        ProcessResult result = RunBridge(package);
        EXPECT_EQ(c.bridgeExit, result.exitCode) << Narrow(c.controllerExit);
        EXPECT_EQ("standin stderr\r\n", result.standardError) << Narrow(c.controllerExit);
        if (c.grandchild) {
            EXPECT_TRUE(RecordedProcessGone(package, L"grandchild.txt"));
        }
    }
    // A plain file at PowerShell's path that Windows cannot start.
    ASSERT_TRUE(WriteFileBytes(PowerShellPath(), "not a program"));
    ProcessResult refused = RunBridge(MakePackage(L"exit-codes"));
    InstallPowerShellStandIn();
    EXPECT_EQ(5u, refused.exitCode);
    EXPECT_EQ("Morvellane prelaunch: Windows could not start its update controller.\r\n", refused.standardError);
}

TEST_F(BridgeRoad, HungControllerIsEndedWithEverythingItStarted)
{
    if (WindowsBranches()) {
        // The real engine: an entry script that starts a PowerShell of its own and hangs.
        Package package =
            MakePackage(L"time-out", L"prelaunch-bridge-test-entry-short-timeout.exe", TestEntryPins());
        SetVariable(L"MORVELLANE_TEST_ENTRY", L"hang");
        ProcessResult result = RunBridge(package);
        EXPECT_EQ(124u, result.exitCode)
            << result.standardError << EngineDeath(result.exitCode, result.standardError);
        EXPECT_EQ(kTimeoutLine, result.standardError);
        EXPECT_TRUE(RecordedProcessGone(package, L"process.txt"));
        EXPECT_TRUE(RecordedProcessGone(package, L"grandchild.txt"));
        return;
    }
    Package package = MakePackage(L"time-out", L"prelaunch-bridge-short-timeout.exe");
    SetVariable(L"STANDIN_HANG", L"1");
    SetVariable(L"STANDIN_GRANDCHILD", L"1");
    ProcessResult result = RunBridge(package);
    EXPECT_EQ(124u, result.exitCode);
    EXPECT_EQ("standin stderr\r\n" + kTimeoutLine, result.standardError);
    EXPECT_TRUE(RecordedProcessGone(package, L"process.txt"));
    EXPECT_TRUE(RecordedProcessGone(package, L"grandchild.txt"));
}

TEST_F(BridgeRoad, ShippedBuildWaitsTwentyMinutes)
{
    // 1,200,000 as a little-endian immediate; the short test build lacks it.
    const std::string twentyMinutes("\x80\x4f\x12\x00", 4);
    EXPECT_NE(std::string::npos,
              ReadFileBytes(ProgramDirectory() + L"\\prelaunch-bridge.exe").find(twentyMinutes));
    EXPECT_EQ(std::string::npos,
              ReadFileBytes(BinDirectory() + L"\\prelaunch-bridge-short-timeout.exe").find(twentyMinutes));
}

TEST_F(BridgeRoad, UnusableStandardErrorChangesNothingButTheText)
{
    for (StandardError mode : {StandardError::Null, StandardError::Invalid}) {
        Package arguments = MakePackage(L"quiet-arguments");
        EXPECT_EQ(87u, RunBridge(arguments, L" x", mode).exitCode);

        Package integrity = MakePackage(L"quiet-integrity");
        DeleteFileW((integrity.directory + L"\\" + kPinnedNames[0]).c_str());
        ProcessResult refused = RunBridge(integrity, L"", mode);
        EXPECT_EQ(13u, refused.exitCode);
        EXPECT_EQ("", refused.standardOutput);

        if (WindowsBranches()) {
            continue;  // the time-out needs the hanging stand-in
        }
        Package hung = MakePackage(L"quiet-time-out", L"prelaunch-bridge-short-timeout.exe");
        SetVariable(L"STANDIN_HANG", L"1");
        ProcessResult timedOut = RunBridge(hung, L"", mode);
        SetVariable(L"STANDIN_HANG", nullptr);
        EXPECT_EQ(124u, timedOut.exitCode);
        EXPECT_EQ("standin stdout\r\n", timedOut.standardOutput);
    }
}

// The same roads with the PowerShell engine at the system path: Windows share
// rules, 32-bit exit codes and language modes as Windows applies them.
class BridgeOnEngine : public OnEngine<BridgeRoad> {};

const std::string kControllerStageLine = "Morvellane prelaunch stopped at Controller; Minecraft start refused.\r\n";

TEST_F(BridgeOnEngine, ShippedControllerReadsTheModuleBesideTheHeldHandle)
{
    // Exit 0 needs the prelaunch script's own open of the module to succeed
    // while the bridge holds it share-read-only, and, under the FIPS policy,
    // every digest of the script and the module made by a validated class.
    const bool fips = MayChangeMachineState();
    Package package = MakePackage(L"O'Brien \x2019" L"engine\x2019");
    SetFipsPolicy(fips);
    ProcessResult result = RunBridge(package);
    SetFipsPolicy(false);
    EXPECT_EQ(0u, result.exitCode) << result.standardError << EngineDeath(result.exitCode, result.standardError);
    EXPECT_EQ("Morvellane pre-launch check passed.\r\n", result.standardOutput);
    EXPECT_EQ("", result.standardError);
    if (!fips) {
        GTEST_SKIP() << "the FIPS policy " << kNeedsAdministrator;
    }
}

TEST_F(BridgeOnEngine, EntryOutcomesAndLanguageModeBecomeTheExitCode)
{
    struct Case {
        const char* name;
        const wchar_t* entry;
        bool noisy;  // progress, a warning, a non-terminating error and an information line first
        bool lockdown;
        DWORD exitCode;
        std::string standardError;  // exact; the last line for a noisy entry
    };
    // Under ConstrainedLanguage the command itself leaves before it reads
    // the script: nothing is written, so no error view shows the script.
    const Case cases[] = {
        {"entry leaves 7", nullptr, false, false, 7, ""},
        {"entry throws", L"throw", false, false, 1, kControllerStageLine},
        {"noisy entry leaves 0", L"0", true, false, 0, ""},
        {"noisy entry throws", L"throw", true, false, 1, kControllerStageLine},
        {"ConstrainedLanguage", nullptr, false, true, 1625, ""},
    };
    wchar_t user[256] = L"", computer[256] = L"";
    GetEnvironmentVariableW(L"USERNAME", user, 256);
    GetEnvironmentVariableW(L"COMPUTERNAME", computer, 256);
    bool skippedLockdown = false;
    for (const Case& c : cases) {
        if (c.lockdown && !MayChangeMachineState()) {
            skippedLockdown = true;
            continue;
        }
        Package package = MakePackage(L"test-entry", L"prelaunch-bridge-test-entry.exe", TestEntryPins());
        SetVariable(L"MORVELLANE_TEST_ENTRY", c.entry);
        SetVariable(L"MORVELLANE_TEST_NOISE", c.noisy ? L"1" : nullptr);
        SetMachineLockdown(c.lockdown);
        ProcessResult result = RunBridge(package);
        SetMachineLockdown(false);
        SetVariable(L"MORVELLANE_TEST_NOISE", nullptr);
        EXPECT_EQ(c.exitCode, result.exitCode) << c.name << EngineDeath(result.exitCode, result.standardError);
        // The launcher's log takes plain lines: no CLIXML, no progress at all,
        // and neither the account nor the machine.
        const std::string both = result.standardOutput + result.standardError;
        EXPECT_FALSE(Holds(both, "CLIXML") || Holds(both, "<Objs") || Holds(both, "download")) << c.name << both;
        EXPECT_FALSE(*user != L'\0' && Holds(both, Narrow(user))) << both;
        EXPECT_FALSE(*computer != L'\0' && Holds(both, Narrow(computer))) << both;
        if (c.noisy) {
            // The engine here colours it; Windows PowerShell 5.1 does not.
            EXPECT_TRUE(Holds(result.standardOutput, "WARNING: test entry warning")) << result.standardOutput;
            EXPECT_TRUE(Holds(result.standardOutput, "test entry information")) << result.standardOutput;
            EXPECT_TRUE(Holds(result.standardError, "test entry error")) << result.standardError;
            // The script's own line stays whole, on a line of its own, at the end.
            const std::string last = "\r\n" + c.standardError;
            ASSERT_GE(result.standardError.size(), last.size()) << c.name;
            EXPECT_EQ(last, result.standardError.substr(result.standardError.size() - last.size())) << c.name;
        } else {
            EXPECT_EQ(c.standardError, result.standardError) << c.name;
            EXPECT_EQ(c.entry == nullptr && !c.lockdown ? "test entry ran\r\n" : "", result.standardOutput) << c.name;
        }
    }
    if (skippedLockdown) {
        GTEST_SKIP() << "the ConstrainedLanguage case " << kNeedsAdministrator;
    }
}

// The stand-in for the whole run; the prefix gets the engine back at the end.
class StandInEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(InstallPowerShellStandIn()); }
    void TearDown() override { InstallPowerShellEngine(); }
};

const ::testing::Environment* const kStandIn = ::testing::AddGlobalTestEnvironment(new StandInEnvironment);

}  // namespace
