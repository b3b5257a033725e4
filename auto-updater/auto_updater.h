// Morvellane automatic updater: shared declarations of its small operations.
#pragma once

#include <windows.h>

// Every text lives in a buffer of this many UTF-16 units (at most 32,767 characters).
const int kBufferUnits = 32768;

extern const wchar_t kMessageCaption[];
extern const wchar_t kMissingJavaMessage[];

// Appends TEXT to the terminated text in BUFFER (kBufferUnits) while it stays
// within 32,767 characters. False when it had to stop; BUFFER then holds the
// text cut at that point.
bool AppendBounded(wchar_t* buffer, const wchar_t* text);

// Copies the text after the program name (and the blanks after it) out of
// COMMAND_LINE into TAIL. False when the tail is longer than 32,767 characters.
bool CutArgumentTail(const wchar_t* commandLine, wchar_t* tail);

// A-Z become a-z; every other character stays as it is (no locale rules).
wchar_t FoldAsciiLetter(wchar_t unit);

// True when LEFT and RIGHT are equal with only A-Z folded to a-z.
bool EqualFoldingAsciiLetters(const wchar_t* left, const wchar_t* right);

// True when PATH exists and is neither a directory nor a reparse point.
bool IsPlainFile(const wchar_t* path);

// A started child: its process and thread, and the job that holds it (null
// when it has none).
struct Child {
    PROCESS_INFORMATION process;
    HANDLE job;
};

// Starts the real Java as the launcher would have started it: with the
// launcher's start-up record and standard handles, in a job that ends it when
// this program ends. False when it cannot be started.
bool StartJava(const wchar_t* application, wchar_t* commandLine, Child* java);

// Waits for the child, closes its handles and returns its exit code (1 when
// it cannot be observed).
DWORD WaitForExitCode(const Child& child);

// Starts APPLICATION with COMMAND_LINE and no handles, and waits: the child's exit code,
// 0xFFFFFFFF when it cannot be created, 1 when it cannot be observed.
DWORD RunProcessAndWait(const wchar_t* application, wchar_t* commandLine);

// -1 (no vector, invalid option, or the environment cannot be changed), 0 (no
// game directory: the variable is removed) or 1 (the variable holds it).
int ParseGameDirectoryOption();

// Writes VALUE as decimal digits into DESTINATION (11 units).
void FormatUnsignedDecimal(DWORD value, wchar_t* destination);

// Names the startup log (temporary directory, PREFIX, process id, tick count)
// and stores it in VARIABLE. Zero on failure.
int PublishStartupLogPath(const wchar_t* prefix, const wchar_t* variable);
const wchar_t* StartupLogPath();

// True when the argument tail is exactly one of the self-test options.
bool IsSelfTestTail(const wchar_t* argumentTail);

// Composes the update-failure dialog for CODE and the startup log path, cut
// at 32,767 characters, and shows it unless SILENCED.
void ShowUpdateFailure(const wchar_t* message, DWORD code, const wchar_t* startupLogPath, bool silenced);
extern const wchar_t kUpdateFailureMessage[];

// The PowerShell command line of the update run, for POWER_SHELL_PATH, in
// COMMAND_LINE (kBufferUnits). False when it does not fit.
bool ComposeUpdateCommandLine(const wchar_t* powerShellPath, wchar_t* commandLine);

// Runs the profile update before a game start, composing the PowerShell
// command in COMMAND_LINE. False when it cannot be prepared; otherwise true
// with the update's exit code in UPDATE_EXIT.
bool RunProfileUpdate(const wchar_t* controllerPath, wchar_t* systemDirectory, wchar_t* commandLine,
                      DWORD* updateExit);

// The whole run: the process exit code.
DWORD RunAutoUpdater();
