// What the record keeper adds to a run that loads the engine's library: the
// span of -install (load, DllGetClassObject, Initialize, Install,
// Uninitialize, Release, free, under the watch) with a library that returns at
// once, timed in this process without a keeper and with one started before
// and dismissed after it, the two interleaved. For scale it also times whole
// runs of zelunst.exe -install. This program is its own keeper, as the tool is.
//
//   keeper_bench.exe TOOL_FOLDER     zelunst.exe and subsystem\zelde\zeldecs.dll lie there
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "engine/EngineWatchdog.h"
#include "records/RecordKeeper.h"
#include "engine/SolutionLoader.h"

namespace {

constexpr int kRounds = 40;
constexpr int kWholeRuns = 10;

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The library's span as -install drives it; false when a call failed.
bool InstallSpan(const std::wstring& library) {
    EngineWatchdog watchdog;
    if (watchdog.Start(900) != ERROR_SUCCESS) return false;
    CQIVUseComDll_v2 comDll;
    comDll.module = LoadLibraryExW(library.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    IZelSolution* solution = nullptr;
    comDll.GetClassObject(&solution);
    const bool installed = solution != nullptr && SUCCEEDED(solution->Initialize(0)) && SUCCEEDED(solution->Install(0));
    if (solution != nullptr) {
        solution->Uninitialize();
        solution->Release();
    }
    if (comDll.module != nullptr) FreeLibrary(comDll.module);
    watchdog.Stop();
    return installed;
}

double TimedSpan(const std::wstring& library, bool withKeeper) {
    const double start = Now();
    RecordKeeper keeper;
    if (withKeeper && keeper.Start() != ERROR_SUCCESS) return -1;
    if (!InstallSpan(library)) return -1;
    keeper.Stop();
    return Now() - start;
}

double TimedWholeRun(const std::wstring& tool) {
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
    DWORD exitCode = 1;
    GetExitCodeProcess(run.process.Get(), &exitCode);
    return exitCode == 0 ? Now() - start : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (const std::optional<int> keeperExitCode = KeepRecordWhenAsked()) return *keeperExitCode;
    if (argc != 2) {
        std::fprintf(stderr, "usage: keeper_bench.exe TOOL_FOLDER\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    const std::wstring library = folder + L"\\subsystem\\zelde\\zeldecs.dll";
    std::vector<double> without, with;
    for (int round = 0; round < kRounds; ++round) {
        // Interleaved, the order turned every round.
        for (const bool withKeeper : {round % 2 == 0, round % 2 != 0}) {
            const double seconds = TimedSpan(library, withKeeper);
            if (seconds < 0) {
                std::fprintf(stderr, "the library's span failed (%s keeper)\n", withKeeper ? "with" : "without");
                return 1;
            }
            (withKeeper ? with : without).push_back(seconds);
        }
    }
    std::vector<double> whole;
    for (int run = 0; run < kWholeRuns; ++run) {
        const double seconds = TimedWholeRun(folder + L"\\zelunst.exe");
        if (seconds < 0) {
            std::fprintf(stderr, "zelunst.exe -install failed\n");
            return 1;
        }
        whole.push_back(seconds);
    }
    const double withoutMs = 1000 * Median(without);
    const double withMs = 1000 * Median(with);
    const double wholeMs = 1000 * Median(whole);
    std::printf("-install's span with a library that returns at once, median of %d rounds each, interleaved:\n",
                kRounds);
    std::printf("  without a keeper  %7.2f ms\n", withoutMs);
    std::printf("  with a keeper     %7.2f ms (fastest %.2f, slowest %.2f)\n", withMs,
                1000 * *std::min_element(with.begin(), with.end()), 1000 * *std::max_element(with.begin(), with.end()));
    std::printf("  added             %7.2f ms, ratio %.1f\n", withMs - withoutMs, withMs / withoutMs);
    std::printf("a whole zelunst.exe -install run (keeper included), median of %d: %.2f ms; the keeper is %.0f%% of it\n",
                kWholeRuns, wholeMs, 100 * (withMs - withoutMs) / wholeMs);
    return 0;
}
