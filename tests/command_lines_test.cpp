// Both programs' PowerShell command lines, composed as the programs compose
// them: nothing on them that security tools take for a disguised launcher,
// and without their script they end with 1, never with 0.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "auto_updater.h"
#include "bridge.h"
#include "prelaunch_embedded.h"
#include "test_support.h"

using namespace testsupport;

namespace {

const std::wstring kPowerShell = L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";

// What security tools flag on a PowerShell command line: the encoded-command
// switch under any name PowerShell takes for it (dashes, slash, abbreviations),
// an execution-policy switch or Bypass, a hidden window, a string decoded or
// run as code, and a run of Base64 long enough to carry a payload.
std::vector<std::string> FlaggedShapes(const std::wstring& commandLine)
{
    const std::wstring dash = L"(^|\\s)[-/\\u2013\\u2014\\u2015]";
    const struct {
        const char* name;
        std::wstring pattern;
    } shapes[] = {
        {"encoded command", dash + L"(ec|e(n(c(o(d(e(d(c(o(m(m(a(n(d)?)?)?)?)?)?)?)?)?)?)?)?)?)(\\s|$)"},
        {"execution policy", dash + L"(ep|ex(e(c(u(t(i(o(n(p(o(l(i(c(y)?)?)?)?)?)?)?)?)?)?)?)?)?)(\\s|$)"},
        {"Bypass", L"bypass"},
        {"hidden window", dash + L"w(i(n(d(o(w(s(t(y(l(e)?)?)?)?)?)?)?)?)?)?\\s+(h|1)"},
        {"FromBase64String", L"frombase64string"},
        {"Invoke-Expression", L"invoke-expression|(^|[^\\w-])iex($|[^\\w-])"},
        {"Base64 run", L"[a-z0-9+/]{32,}"},
    };
    std::vector<std::string> found;
    for (const auto& shape : shapes) {
        if (std::regex_search(commandLine, std::wregex(shape.pattern, std::regex::icase))) {
            found.push_back(shape.name);
        }
    }
    return found;
}

std::string Joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

std::wstring BridgeCommandLine()
{
    EXPECT_TRUE(ComposeControllerCommandLine(kPowerShell.c_str(), L"C:\\Games\\Morvellane", kPrelaunchScript));
    return ControllerCommandLine();
}

std::wstring UpdaterCommandLine()
{
    static wchar_t commandLine[kBufferUnits];
    EXPECT_TRUE(ComposeUpdateCommandLine(kPowerShell.c_str(), commandLine));
    return commandLine;
}

TEST(PowerShellCommandLines, CarryNothingSecurityToolsFlag)
{
    const std::wstring base64 = L"JABFAHIAcgBvAHIAQQBjAHQAaQBvAG4AUAByAGUAZgBlAHIAZQBuAGMAZQA=";
    const struct {
        const char* name;
        std::wstring commandLine;
        std::string flagged;
    } samples[] = {
        {"the updater's former line", L"\"p\" -NoLogo -NoProfile -ExecutionPolicy Bypass -EncodedCommand " + base64,
         "encoded command, execution policy, Bypass, Base64 run"},
        {"the bridge's former line",
         L"\"p\" -NoLogo -NoProfile -NonInteractive -STA -OutputFormat Text -Command \". ([scriptblock]::Create("
         L"[Text.Encoding]::Unicode.GetString([Convert]::FromBase64String('" + base64 + L"'))))\"",
         "FromBase64String, Base64 run"},
        {"abbreviations", L"p -nop -enc x", "encoded command"},
        {"other dashes and a slash", L"p \x2013" L"EncodedCommand x /ec y \x2015" L"e z", "encoded command"},
        {"policy abbreviations", L"p -ep RemoteSigned", "execution policy"},
        {"policy spelt out", L"p -exec Unrestricted", "execution policy"},
        {"a hidden window", L"p -w hidden -c x", "hidden window"},
        {"a hidden window spelt out", L"p -WindowStyle 1 -c x", "hidden window"},
        {"a string run as code", L"p -c \"iex $x; Invoke-Expression $y\"", "Invoke-Expression"},
        {"a path and a plain switch", L"\"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe\" -e", "encoded command"},
        {"what looks alike but is none", L"p -NoLogo -NonInteractive -Command \"$executionContext; Get-Item exit\"", ""},
    };
    for (const auto& sample : samples) {
        EXPECT_EQ(sample.flagged, Joined(FlaggedShapes(sample.commandLine))) << sample.name;
    }

    // Each also stands, exactly, in the README's section for administrators.
    const std::string readme = ReadFileBytes(TestPath(MORVELLANE_README, L"README.md"));
    for (const std::wstring& commandLine : {BridgeCommandLine(), UpdaterCommandLine()}) {
        EXPECT_EQ("", Joined(FlaggedShapes(commandLine))) << Narrow(commandLine);
        EXPECT_LT(commandLine.size() * sizeof(wchar_t), 1024u) << Narrow(commandLine);
        EXPECT_TRUE(Holds(readme, "\n  " + Narrow(commandLine) + "\n")) << Narrow(commandLine);
    }
}

class PowerShellCommandLinesOnEngine : public OnEngine<::testing::Test> {};

TEST_F(PowerShellCommandLinesOnEngine, WithoutTheirScriptEndWithOne)
{
    std::wstring work = MakeFreshDirectory(L"no-script");
    // Never set, and set but empty.
    const struct {
        const char* name;
        std::wstring commandLine;
        const wchar_t* script;
    } cases[] = {
        {"the bridge's", BridgeCommandLine(), nullptr},
        {"the updater's", UpdaterCommandLine(), L""},
    };
    for (const auto& c : cases) {
        SetVariable(L"MORVELLANE_PROFILE_SCRIPT", c.script);
        ProcessResult result = RunProcess(PowerShellPath(), c.commandLine, work);
        SetVariable(L"MORVELLANE_PROFILE_SCRIPT", nullptr);
        EXPECT_EQ(1u, result.exitCode) << c.name << EngineDeath(result.exitCode, result.standardError);
        EXPECT_EQ("", result.standardOutput + result.standardError) << c.name;
    }
}

}  // namespace
