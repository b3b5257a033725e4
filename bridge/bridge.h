// Morvellane pre-launch bridge: shared declarations of its small operations.
#pragma once

#include <windows.h>

// Every path and command text lives in a buffer of this many UTF-16 units.
const int kTextCapacity = 32768;

// The pinned files beside the bridge, in the order of the pin table.
const int kPinnedFileCount = 4;

// Formats into DESTINATION (CAPACITY units, terminator included). The only
// conversion is %s with a UTF-16 string. Returns the units written without the
// terminator, or -1 when the text does not fit or the format is not understood.
int FormatBounded(wchar_t* destination, int capacity, const wchar_t* format, ...);

// Writes one fixed ASCII line to standard error, when there is a usable handle.
void WriteBridgeMessage(const char* message, DWORD length);

// True only for a drive-letter path whose every step exists, every step before
// a separator is a directory, and nothing on the way is a reparse point.
bool IsSafePath(const wchar_t* path);

// Opens PATH share-read-only and proves its size and SHA-256; returns the held
// handle, or INVALID_HANDLE_VALUE with nothing left open.
HANDLE OpenPinnedFile(const wchar_t* path, const unsigned char* expectedDigest, DWORD maximumSize);

// Composes the script for BRIDGE_DIRECTORY and SCRIPT, and the PowerShell
// command line that runs it, into their buffers. False when the directory is
// too long or either text does not fit.
bool ComposeControllerCommandLine(const wchar_t* powerShellPath, const wchar_t* bridgeDirectory,
                                  const wchar_t* script);
const wchar_t* ControllerCommandLine();
const wchar_t* ComposedControllerScript();

// Runs the controller in a kill-on-close job and returns the run's exit code.
DWORD LaunchController(const wchar_t* bridgeDirectory);

// The whole bridge run: returns the process exit code.
DWORD RunBridge();
