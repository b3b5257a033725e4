// The automatic updater's road tests share this: the installation, the
// launcher that starts the updater, and what a run leaves to look at (Java's
// and PowerShell's records, the message box read as a person reads it).
#pragma once

#include <gtest/gtest.h>

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

const Installation& Installed();

void SetJavaValue(DWORD type, const std::wstring& text);

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

// WHILE_SUSPENDED, when given, runs with the updater's process id before it
// starts; LAUNCHER, when given, starts it as a launcher would.
UpdaterRun RunUpdater(const std::wstring& commandLine, const std::wstring& currentDirectory = L"",
                      const std::wstring& updater = Installed().updater,
                      const std::function<void(DWORD processId)>& whileSuspended = nullptr,
                      Launcher* launcher = nullptr);

std::wstring Quoted(const std::wstring& path);

// An updater of its own beside a controller with CONTROLLER_TEXT.
std::wstring InstallWithController(const std::wstring& name, const std::string& controllerText);

// A game start's arguments. With the stand-in any directory does; on the
// Windows branches the real engine runs the shipped controller, which wants
// one that exists.
std::wstring GameStart();

// The value of NAME in an environment record ("NAME=value" lines), or "<unset>".
std::wstring RecordedVariable(const std::wstring& record, const std::wstring& name);

std::wstring JavaVariable(const UpdaterRun& run, const std::wstring& name);

void ExpectMissingJava(const UpdaterRun& run, const std::string& label);

std::wstring UpdateFailureText(DWORD code, const std::wstring& startupLog);

// Each case starts from the installed updater with the test Java as the
// registry's value and none of the variables the runs set.
class UpdaterRoad : public ::testing::Test {
protected:
    void SetUp() override;
};

}  // namespace testsupport
