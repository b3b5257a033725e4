// Morvellane automatic updater: the texts and text operations that the entry,
// the game-directory option and the update run share.
#include "auto_updater.h"

const wchar_t kMessageCaption[] = L"Morvellane Automatic Updater";
const wchar_t kMissingJavaMessage[] =
    L"The automatic updater cannot find its original Java 21 executable. Run Morvellane Installer Repair or "
    L"uninstall the automatic updater from Windows Settings.";

static int TextLength(const wchar_t* text)
{
    int length = 0;
    while (length < kBufferUnits - 1 && text[length] != L'\0') {
        ++length;
    }
    return length;
}

bool AppendBounded(wchar_t* buffer, const wchar_t* text)
{
    int position = TextLength(buffer);
    for (; *text != L'\0'; ++text) {
        if (position + 1 >= kBufferUnits) {
            buffer[position] = L'\0';
            return false;
        }
        buffer[position++] = *text;
    }
    buffer[position] = L'\0';
    return true;
}

wchar_t FoldAsciiLetter(wchar_t unit)
{
    return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit + (L'a' - L'A')) : unit;
}

bool EqualFoldingAsciiLetters(const wchar_t* left, const wchar_t* right)
{
    for (; *left != L'\0' && *right != L'\0'; ++left, ++right) {
        if (FoldAsciiLetter(*left) != FoldAsciiLetter(*right)) {
            return false;
        }
    }
    return *left == *right;
}
