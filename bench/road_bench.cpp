// Whole-road figures, run under Wine by scripts/benchmark.sh with the
// PowerShell engine at the system path (never a test): each program's whole
// run against doing the same work without it.
//   road-bench BRIDGE UPDATER JAVA GAME_DIRECTORY RUNS
// Pre-launch: the bridge's run against starting the engine directly with the
// bridge's own command and script. Game start: the updater's run against
// starting the engine with the bootstrap and then Java directly.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "auto_updater.h"
#include "bootstrap_embedded.h"
#include "bridge.h"
#include "prelaunch_embedded.h"

static double Now()
{
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Starts APPLICATION with COMMAND_LINE and waits for it; true when it ended with 0.
static bool Run(const std::wstring& application, std::wstring commandLine, DWORD flags)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode == 0;
}

static double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

static void Report(const wchar_t* title, const wchar_t* throughName, const wchar_t* directName,
                   const std::vector<double>& through, const std::vector<double>& direct)
{
    double throughMedian = Median(through);
    double directMedian = Median(direct);
    wprintf(L"== %ls\n  runs: %zu\n  %ls: median %.1f ms\n  %ls: median %.1f ms\n  ratio: %.2f\n", title,
            through.size(), throughName, throughMedian, directName, directMedian, throughMedian / directMedian);
}

static std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 6) {
        fwprintf(stderr, L"usage: road-bench BRIDGE UPDATER JAVA GAME_DIRECTORY RUNS\n");
        return 2;
    }
    const std::wstring bridge = argv[1];
    const std::wstring updater = argv[2];
    const std::wstring java = argv[3];
    const std::wstring gameDirectory = argv[4];
    const int runs = _wtoi(argv[5]);

    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring powerShell = std::wstring(system) + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
    const std::wstring bridgeDirectory = bridge.substr(0, bridge.rfind(L'\\'));
    if (!ComposeControllerCommandLine(powerShell.c_str(), bridgeDirectory.c_str(), kPrelaunchScript)) {
        fwprintf(stderr, L"the bridge's command line does not fit\n");
        return 1;
    }
    const std::wstring prelaunchCommand = ControllerCommandLine();
    const std::wstring prelaunchScript = ComposedControllerScript();
    static wchar_t bootstrapCommand[kBufferUnits];
    ComposeUpdateCommandLine(powerShell.c_str(), bootstrapCommand);
    const std::wstring controller = updater.substr(0, updater.rfind(L'\\') + 1) + L"Morvellane.ProfileUpdate.ps1";
    const std::wstring gameArguments = L" --gamedir " + Quoted(gameDirectory);
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);

    // The environment the bridge gives its controller, for the direct runs too.
    SetEnvironmentVariableW(L"PSExecutionPolicyPreference", nullptr);
    SetEnvironmentVariableW(L"PSModulePath", (std::wstring(system) + L"\\WindowsPowerShell\\v1.0\\Modules").c_str());

    std::vector<double> bridgeRuns, engineRuns, updaterRuns, bootstrapRuns;
    // Alternate the two of each pair so that both see the same state of the machine.
    for (int run = 0; run < runs; ++run) {
        double start = Now();
        bool ok = Run(bridge, Quoted(bridge), 0);
        bridgeRuns.push_back(Now() - start);
        SetEnvironmentVariableW(L"MORVELLANE_PROFILE_SCRIPT", prelaunchScript.c_str());
        start = Now();
        ok = Run(powerShell, prelaunchCommand, CREATE_NO_WINDOW) && ok;
        engineRuns.push_back(Now() - start);

        for (const wchar_t* name : {L"MORVELLANE_PROFILE_GAME_DIRECTORY", L"MORVELLANE_PROFILE_STARTUP_LOG",
                                    L"MORVELLANE_PROFILE_CONTROLLER"}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        start = Now();
        ok = Run(updater, Quoted(updater) + gameArguments, 0) && ok;
        updaterRuns.push_back(Now() - start);

        const std::wstring log = std::wstring(temp) + L"Morvellane-profile-bench-" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(run) + L".log";
        SetEnvironmentVariableW(L"MORVELLANE_PROFILE_GAME_DIRECTORY", gameDirectory.c_str());
        SetEnvironmentVariableW(L"MORVELLANE_PROFILE_STARTUP_LOG", log.c_str());
        SetEnvironmentVariableW(L"MORVELLANE_PROFILE_CONTROLLER", controller.c_str());
        SetEnvironmentVariableW(L"MORVELLANE_PROFILE_SCRIPT", kBootstrapScript);
        SetEnvironmentVariableW(L"PSExecutionPolicyPreference", L"Bypass");
        start = Now();
        ok = Run(powerShell, bootstrapCommand, 0) && ok;
        SetEnvironmentVariableW(L"MORVELLANE_PROFILE_SCRIPT", nullptr);
        SetEnvironmentVariableW(L"PSExecutionPolicyPreference", nullptr);
        ok = Run(java, Quoted(java) + gameArguments, 0) && ok;
        bootstrapRuns.push_back(Now() - start);
        if (!ok) {
            fwprintf(stderr, L"a run did not start or did not end with 0\n");
            return 1;
        }
    }
    Report(L"prelaunch-bridge: the whole pre-launch run, shipped controller on the engine", L"through the bridge",
           L"the engine started directly with the same command and script", bridgeRuns, engineRuns);
    Report(L"auto-updater: a whole game start, shipped controller on the engine", L"through auto-updater.exe",
           L"the engine with the bootstrap, then Java, started directly", updaterRuns, bootstrapRuns);
    return 0;
}
