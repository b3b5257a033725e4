// Start-up figures, run under Wine by scripts/benchmark.sh (never a test):
// how long a program takes from its own start to its child's start, against
// starting the same stand-in directly.
//   start-bench PROGRAM STANDIN RECORD_FILE RUNS
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

static double Milliseconds(LONGLONG ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

// Starts APPLICATION, waits for it, and returns the time from just before the
// start to the moment the stand-in recorded in RECORD_FILE.
static double TimeToStandIn(const std::wstring& application, const std::wstring& recordFile)
{
    DeleteFileW(recordFile.c_str());
    std::wstring commandLine = L"\"" + application + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER before;
    QueryPerformanceCounter(&before);
    if (!CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    HANDLE file = CreateFileW(recordFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    wchar_t text[32] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof text - sizeof(wchar_t), &read, nullptr);
    CloseHandle(file);
    return Milliseconds(_wtoi64(text) - before.QuadPart);
}

static double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) {
        fwprintf(stderr, L"usage: start-bench PROGRAM STANDIN RECORD_FILE RUNS\n");
        return 2;
    }
    int runs = _wtoi(argv[4]);
    std::vector<double> through;
    std::vector<double> direct;
    // Alternate the two so that both see the same state of the machine.
    for (int run = 0; run < runs; ++run) {
        through.push_back(TimeToStandIn(argv[1], argv[3]));
        direct.push_back(TimeToStandIn(argv[2], argv[3]));
    }
    if (*std::min_element(through.begin(), through.end()) < 0 || *std::min_element(direct.begin(), direct.end()) < 0) {
        fwprintf(stderr, L"a run did not reach the stand-in\n");
        return 1;
    }
    double throughMedian = Median(through);
    double directMedian = Median(direct);
    wprintf(L"  runs: %d\n  start to stand-in, through the program: median %.2f ms\n"
            L"  start to stand-in, stand-in started directly: median %.2f ms\n  ratio: %.2f\n",
            runs, throughMedian, directMedian, throughMedian / directMedian);
    return 0;
}
