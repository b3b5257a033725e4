// The bridge's text limits, on the functions themselves: directories and
// scripts of these sizes cannot be produced through Wine.
#include <gtest/gtest.h>

#include <string>

#include "bridge.h"
#include "prelaunch_embedded.h"

namespace {

const std::wstring kPowerShell = L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";

TEST(FormatBounded, FitsExactlyOrReportsMinusOne)
{
    wchar_t buffer[8];
    EXPECT_EQ(7, FormatBounded(buffer, 8, L"a%sb", L"12345"));
    EXPECT_EQ(std::wstring(L"a12345b"), buffer);
    EXPECT_EQ(-1, FormatBounded(buffer, 8, L"a%sb", L"123456"));
    EXPECT_EQ(-1, FormatBounded(buffer, 8, L"%d", L"1"));
    EXPECT_EQ(0, FormatBounded(buffer, 1, L"%s", L""));
    EXPECT_EQ(6, FormatBounded(buffer, 8, L"%s-%s", L"ab", L"cde"));
    EXPECT_EQ(std::wstring(L"ab-cde"), buffer);
}

TEST(ComposeControllerCommandLine, DirectoryLimitAndQuoteDoubling)
{
    struct Case {
        std::wstring directory;
        bool accepted;
        std::wstring literal;
    };
    std::wstring longest = L"C:\\" + std::wstring(4093, L'd');
    std::wstring quotes = L"C:\\" + std::wstring(4093, L'\'');
    const Case cases[] = {
        {longest, true, longest},
        {longest + L"d", false, L""},
        {quotes, true, L"C:\\" + std::wstring(8186, L'\'')},
        {L"C:\\Users\\O\x2019" L"Brien\\\x2018x\x201A\x201B\\a'b", true,
         L"C:\\Users\\O\x2019\x2019" L"Brien\\\x2018\x2018x\x201A\x201A\x201B\x201B\\a''b"},
        {L"C:\\plain \"double\" `tick` $var", true, L"C:\\plain \"double\" `tick` $var"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.accepted, ComposeControllerCommandLine(kPowerShell.c_str(), c.directory.c_str(), L"exit 0\n"))
            << c.directory.size();
        if (c.accepted) {
            EXPECT_EQ(L"$application = '" + c.literal + L"'\nexit 0\n", std::wstring(ComposedControllerScript()));
        }
    }
}

TEST(ComposeControllerCommandLine, ComposedScriptAndCommandLineBounds)
{
    const std::wstring directory = L"C:\\a";
    const size_t overhead = 16 + directory.size() + 2;  // "$application = '", the directory, "'\n"
    auto composeWithScriptOf = [&](size_t scriptUnits) {
        std::wstring script(scriptUnits, L'x');
        return ComposeControllerCommandLine(kPowerShell.c_str(), directory.c_str(), script.c_str());
    };
    // The composed script fills its 16384-unit buffer, terminator included, or does not fit.
    ASSERT_TRUE(composeWithScriptOf(16383 - overhead));
    EXPECT_EQ(16383u, wcslen(ComposedControllerScript()));
    EXPECT_FALSE(composeWithScriptOf(16384 - overhead));

    // The shipped script behind the longest directory, every unit a quote.
    std::wstring quotes(4096, L'\'');
    ASSERT_TRUE(ComposeControllerCommandLine(kPowerShell.c_str(), quotes.c_str(), kPrelaunchScript));
    EXPECT_EQ(16 + 8192 + 2 + wcslen(kPrelaunchScript), wcslen(ComposedControllerScript()));

    // The command line is the PowerShell path and fixed text; a path that
    // leaves it no room does not fit.
    const size_t fixed = wcslen(ControllerCommandLine()) - kPowerShell.size();
    std::wstring longest(32767 - fixed, L'p');
    ASSERT_TRUE(ComposeControllerCommandLine(longest.c_str(), L"C:\\a", kPrelaunchScript));
    EXPECT_EQ(32767u, wcslen(ControllerCommandLine()));
    EXPECT_FALSE(ComposeControllerCommandLine((longest + L"p").c_str(), L"C:\\a", kPrelaunchScript));
}

TEST(IsSafePath, TextRulesRefuseBeforeTheFileSystemIsAsked)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring existing(temp);
    existing.pop_back();  // no trailing separator
    CreateDirectoryW((existing + L"\\x").c_str(), nullptr);

    struct Case {
        std::wstring path;
        bool safe;
    };
    const Case cases[] = {
        {L"C:\\", false},
        {existing + L"\\x", true},
        {existing, true},
        {L"\\\\server\\share\\x", false},
        {L"\\\\?\\" + existing, false},
        {L"C:/windows/system32", false},
        {existing + L"\\.\\x", false},
        {existing + L"\\x\\..\\x", false},
        {existing + L"\\x:stream", false},
        {existing + L"\\missing", false},
        {existing + L"\\x\\", true},
        {L"C:\\" + std::wstring(32764, L'a'), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.safe, IsSafePath(c.path.c_str())) << c.path.size();
    }
    RemoveDirectoryW((existing + L"\\x").c_str());
}

}  // namespace
