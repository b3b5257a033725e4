// Morvellane automatic updater: tells a game start (--gamedir) from other Java
// starts and hands the game directory to the controller through the environment.
#include "auto_updater.h"

#include <shellapi.h>

static const wchar_t kOption[] = L"--gamedir";
static const wchar_t kGameDirectoryVariable[] = L"MORVELLANE_PROFILE_GAME_DIRECTORY";

// Compares the start of ARGUMENT with the option name, folding only A-Z.
// Returns the character after the name, or null when the name does not match.
static const wchar_t* AfterOptionName(const wchar_t* argument)
{
    for (const wchar_t* name = kOption; *name != L'\0'; ++name, ++argument) {
        if (FoldAsciiLetter(*argument) != *name) {
            return nullptr;
        }
    }
    return argument;
}

// Takes the value into GAME_DIRECTORY; false for an empty value or a second one.
static bool TakeValue(const wchar_t* value, const wchar_t** gameDirectory)
{
    if (*gameDirectory != nullptr || value[0] == L'\0') {
        return false;
    }
    *gameDirectory = value;
    return true;
}

int ParseGameDirectoryOption()
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) {
        return -1;
    }
    const wchar_t* gameDirectory = nullptr;
    bool valid = true;
    // Element 0 is the program name and never the option.
    for (int index = 1; index < count && valid; ++index) {
        const wchar_t* rest = AfterOptionName(arguments[index]);
        if (rest == nullptr) {
            continue;
        }
        if (*rest == L'\0') {
            // Separate form: the next element is the value, whatever it holds.
            valid = index + 1 < count && TakeValue(arguments[index + 1], &gameDirectory);
            ++index;
        } else if (*rest == L'=') {
            valid = TakeValue(rest + 1, &gameDirectory);
        }
    }
    int result = -1;
    if (valid) {
        // The variable copies the value, so the vector can go afterwards.
        if (SetEnvironmentVariableW(kGameDirectoryVariable, gameDirectory)) {
            result = gameDirectory != nullptr ? 1 : 0;
        }
    }
    LocalFree(arguments);
    return result;
}
