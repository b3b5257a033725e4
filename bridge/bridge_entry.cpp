// Morvellane pre-launch bridge: the run from command line to exit code.
#include "bridge.h"

#include <shellapi.h>
#include <stdarg.h>

#include "prelaunch_embedded.h"

static const char kArgumentsMessage[] = "Morvellane prelaunch: arguments are not accepted.\r\n";
static const char kIntegrityMessage[] =
    "Morvellane prelaunch: controller integrity failed; run Installer Repair.\r\n";

static const wchar_t* const kPinnedPathFormats[kPinnedFileCount] = {
    L"%s\\Morvellane.VudivPreLaunch.ps1",
    L"%s\\Morvellane.Vudiv.Runtime.json",
    L"%s\\Morvellane.OwnedRuntime.psm1",
    L"%s\\Morvellane.OwnedRuntime.json",
};
static const DWORD kPinnedMaximumSizes[kPinnedFileCount] = {0x40000, 0x10000, 0x40000, 0x10000};

// The executable's path; cut down to the bridge directory once it is known.
static wchar_t g_ownPath[kTextCapacity];
static wchar_t g_pinnedPaths[kPinnedFileCount][kTextCapacity];

// A C-style variadic on purpose: one bounded %s formatter, no templates, no heap.
int FormatBounded(wchar_t* destination, int capacity, const wchar_t* format, ...)  // NOLINT(cert-dcl50-cpp)
{
    if (destination == nullptr || capacity <= 0 || format == nullptr) {
        return -1;
    }
    va_list arguments;
    va_start(arguments, format);
    int written = 0;
    bool fits = true;
    for (const wchar_t* cursor = format; *cursor != L'\0' && fits; ++cursor) {
        if (*cursor != L'%') {
            fits = written + 1 < capacity;
            if (fits) {
                destination[written++] = *cursor;
            }
            continue;
        }
        const wchar_t* argument = cursor[1] == L's' ? va_arg(arguments, const wchar_t*) : nullptr;
        if (argument == nullptr) {
            fits = false;
            break;
        }
        ++cursor;
        for (; *argument != L'\0' && fits; ++argument) {
            fits = written + 1 < capacity;
            if (fits) {
                destination[written++] = *argument;
            }
        }
    }
    va_end(arguments);
    if (!fits) {
        return -1;
    }
    destination[written] = L'\0';
    return written;
}

void WriteBridgeMessage(const char* message, DWORD length)
{
    HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    if (standardError == nullptr || standardError == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(standardError, message, length, &written, nullptr);
}

static void CloseHeldFiles(HANDLE* held)
{
    for (int index = 0; index < kPinnedFileCount; ++index) {
        if (held[index] != INVALID_HANDLE_VALUE) {
            CloseHandle(held[index]);
            held[index] = INVALID_HANDLE_VALUE;
        }
    }
}

DWORD RunBridge()
{
    int argumentCount = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    if (arguments == nullptr) {
        WriteBridgeMessage(kArgumentsMessage, sizeof kArgumentsMessage - 1);
        return 87;
    }
    LocalFree(arguments);
    if (argumentCount != 1) {
        WriteBridgeMessage(kArgumentsMessage, sizeof kArgumentsMessage - 1);
        return 87;
    }

    DWORD ownPathLength = GetModuleFileNameW(nullptr, g_ownPath, kTextCapacity);
    if (ownPathLength == 0 || ownPathLength >= static_cast<DWORD>(kTextCapacity)) {
        return 2;
    }
    int lastBackslash = -1;
    for (DWORD index = 0; index < ownPathLength; ++index) {
        if (g_ownPath[index] == L'\\') {
            lastBackslash = static_cast<int>(index);
        }
    }
    if (lastBackslash < 0) {
        return 2;
    }
    g_ownPath[lastBackslash] = L'\0';
    const wchar_t* bridgeDirectory = g_ownPath;

    for (int index = 0; index < kPinnedFileCount; ++index) {
        if (FormatBounded(g_pinnedPaths[index], kTextCapacity, kPinnedPathFormats[index], bridgeDirectory) < 0) {
            return 2;
        }
    }

    // Every file is tried before judging, so one run shows the whole state.
    HANDLE held[kPinnedFileCount];
    bool allVerified = true;
    for (int index = 0; index < kPinnedFileCount; ++index) {
        held[index] = OpenPinnedFile(g_pinnedPaths[index], kPinTable[index], kPinnedMaximumSizes[index]);
        allVerified = allVerified && held[index] != INVALID_HANDLE_VALUE;
    }
    if (!allVerified) {
        CloseHeldFiles(held);
        WriteBridgeMessage(kIntegrityMessage, sizeof kIntegrityMessage - 1);
        return 13;
    }

    // The files stay held, share-read-only, for as long as the controller runs.
    DWORD exitCode = LaunchController(bridgeDirectory);
    CloseHeldFiles(held);
    return exitCode;
}
