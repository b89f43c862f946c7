// What the record keeper adds to a run of the tool: whole runs of
// zelunst.exe -install with the stand-in library, which returns at once,
// timed with the keeper and without it (the tool built without its keeper,
// for this benchmark alone), in pairs, the order turned every pair.
//
//   keeper_bench.exe WITH_KEEPER WITHOUT_KEEPER
//       each a folder that holds the tool (zelunst.exe, zelunst_without_keeper.exe)
//       and subsystem\zelde\zeldecs.dll
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/Handles.h"

namespace {

constexpr int kPairs = 30;

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Seconds from the start of `tool -install` to its end; negative when it did
// not succeed.
double TimedInstall(const std::wstring& tool) {
    std::wstring commandLine = L"\"" + tool + L"\" -install";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const double start = Now();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return -1;
    }
    const ProcessHandles run(info);
    WaitForSingleObject(run.process.Get(), INFINITE);
    const double seconds = Now() - start;
    DWORD exitCode = 1;
    GetExitCodeProcess(run.process.Get(), &exitCode);
    return exitCode == 0 ? seconds : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: keeper_bench.exe WITH_KEEPER WITHOUT_KEEPER\n");
        return 2;
    }
    const std::wstring tools[] = {std::wstring(argv[1]) + L"\\zelunst.exe",
                                  std::wstring(argv[2]) + L"\\zelunst_without_keeper.exe"};
    std::vector<double> with, without, added;
    for (int pair = 0; pair < kPairs; ++pair) {
        double seconds[2] = {};
        for (const int which : {pair % 2, 1 - pair % 2}) {
            seconds[which] = TimedInstall(tools[which]);
            if (seconds[which] < 0) {
                std::fprintf(stderr, "%ls -install failed\n", tools[which].c_str());
                return 1;
            }
        }
        with.push_back(seconds[0]);
        without.push_back(seconds[1]);
        added.push_back(seconds[0] - seconds[1]);
    }
    std::printf("whole zelunst.exe -install runs, %d pairs, interleaved (median; fastest, slowest):\n", kPairs);
    std::printf("  with its keeper     %7.2f ms (%.2f, %.2f)\n", 1000 * Median(with),
                1000 * *std::min_element(with.begin(), with.end()), 1000 * *std::max_element(with.begin(), with.end()));
    std::printf("  without a keeper    %7.2f ms (%.2f, %.2f)\n", 1000 * Median(without),
                1000 * *std::min_element(without.begin(), without.end()),
                1000 * *std::max_element(without.begin(), without.end()));
    std::printf("  added by the keeper %7.2f ms a run (median of the pairs' differences), ratio %.2f\n",
                1000 * Median(added), Median(with) / Median(without));
    return 0;
}
