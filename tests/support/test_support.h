// Helpers for the tests that run the programs under Wine.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace testsupport {

// Under Wine, whatever the tests are asked to act as: Wine's ntdll exports
// wine_get_version. Detected once.
bool UnderWine();

// Whether the tests take their Windows branches: on Windows, and under Wine
// when MORVELLANE_TESTS_AS_WINDOWS=1 asks for them. What only Windows can show
// asks UnderWine() instead.
bool WindowsBranches();

// A file or folder the tests use: KIT_PATH below the kit's folder in the
// Windows kit, otherwise the build's HOST_PATH through Wine's Z: drive.
std::wstring TestPath(const std::string& hostPath, const wchar_t* kitPath);

// Where the two programs under test are: the build named by
// MORVELLANE_RELEASE_DIR (the kit runner's -Release), the kit's release
// folder, or the build tree's bin folder.
std::wstring ProgramDirectory();

// A fresh, empty directory below the prefix's temporary directory.
std::wstring MakeFreshDirectory(const std::wstring& name);

bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);
std::wstring ReadFileUtf16(const std::wstring& path);
bool CopyInto(const std::wstring& source, const std::wstring& directory, const std::wstring& name);

// Makes LINK a link to the directory TARGET that reads as a reparse point:
// under Wine a host symbolic link, once Wine sees it; on the Windows branches
// a junction, or else a directory symbolic link. False with the reason in
// REFUSED when none could be made.
bool MakeDirectoryLink(const std::wstring& target, const std::wstring& link, std::string* refused);
// Removes such a link, never what it leads to.
void RemoveDirectoryLink(const std::wstring& link);

// The prefix keeps the PowerShell engine at Windows PowerShell's system path.
// These put the recording stand-in from BinDirectory() there in its place, and
// the engine's host back again.
bool InstallPowerShellStandIn();
bool InstallPowerShellEngine();
std::wstring PowerShellPath();

// The test programs and stand-ins: the kit's bin folder, or the build's.
std::wstring BinDirectory();

// A suite of BASE's cases with the PowerShell engine at the system path; the
// stand-in goes back after it.
template <class Base>
class OnEngine : public Base {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(InstallPowerShellEngine()); }
    static void TearDownTestSuite() { InstallPowerShellStandIn(); }
};

// What stands at PowerShell's system path, for messages: the stand-in engine's
// PowerShell and .NET versions and Wine's, or Windows PowerShell on Windows.
std::string EngineDescription();

// One plain line when the PowerShell engine itself died rather than ending
// with a script's code (the runtime's fail-fast or an access violation, or its
// "Internal CLR error" in ERROR_OUTPUT); empty otherwise.
std::string EngineDeath(DWORD exitCode, const std::string& errorOutput);

// Why a test skips on the Windows branches when it needs the recording
// stand-in at PowerShell's system path: they never touch the system folder.
extern const char kNeedsStandIn[];

// Whether this process may change machine-wide settings: on Windows only as
// administrator. The reason a test skips when it may not.
bool MayChangeMachineState();
extern const char kNeedsAdministrator[];

// Remembers a registry value as it is now, the first time it is named, so that
// RestoreRegistryValue can put back exactly that: its type and data, or its
// absence, and its key's absence.
void RememberRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name);
void RestoreRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name);

// Application control as Windows applies it to PowerShell: __PSLockdownPolicy
// 4 in the machine environment holds it to ConstrainedLanguage. Off puts back
// what was there before.
void SetMachineLockdown(bool on);

// The group policy "System cryptography: Use FIPS compliant algorithms for
// encryption, hashing, and signing", which a process reads as it starts; the
// test engine follows Windows PowerShell 5.1 under it. Off puts back what was
// there before.
void SetFipsPolicy(bool on);

enum class StandardError { File, Null, Invalid };

struct ProcessResult {
    DWORD exitCode = 0xDEADBEEF;
    bool started = false;
    bool finished = false;
    std::string standardOutput;
    std::string standardError;
};

// Starts APPLICATION (empty: the command line's first word) with COMMAND_LINE,
// standard input from STANDARD_INPUT and output into files in WORK_DIRECTORY,
// and waits up to TIMEOUT_MS.
ProcessResult RunProcess(const std::wstring& application, const std::wstring& commandLine,
                         const std::wstring& workDirectory, StandardError standardError = StandardError::File,
                         const std::string& standardInput = std::string(), DWORD timeoutMs = 60000);

// Sets or removes (VALUE null) a variable in this process, inherited by children.
void SetVariable(const wchar_t* name, const wchar_t* value);

std::string Narrow(const std::wstring& text);

inline bool Holds(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace testsupport
