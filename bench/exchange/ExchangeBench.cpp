// Times the update file exchange against the bare CopyFileW/DeleteFileW loop
// that did the same work by copies (back the product up, copy the staged
// files over it, delete the backup) on the same synthetic trees, in the same
// run, interleaved: the exchange's time before the window (the staged files
// written while the product runs), inside it (the backup's names and the
// switch, while the product is down), after it (the backup deleted) and the
// whole; the loop's phases apart. Then against an administrator's xcopy
// script, the exclusion filter at two list sizes, and the exchange's peak
// memory.
//
//   exchange_bench.exe ROOT          builds ROOT\Rux, measures, leaves the trees
//   exchange_bench.exe --peak ROOT   one exchange in a fresh process, prints its peak memory
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "base/ToolPaths.h"
#include "exchange/UpdateExchange.h"
#include "filetree/FileTree.h"

namespace {

constexpr int kRounds = 6;
constexpr int kXcopyRounds = 1;

struct SyntheticFile {
    std::wstring relative;
    DWORD size;
    bool excluded;
};

struct Trees {
    std::wstring product;  // ROOT\Rux
    std::wstring staging;  // ROOT\Rux\reupdate
    std::vector<SyntheticFile> productFiles;
    std::vector<SyntheticFile> stagedFiles;
};

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool WriteSizedFile(const std::wstring& path, DWORD size, char fill) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    std::string bytes(size, fill);
    DWORD written = 0;
    return WriteFile(file.Get(), bytes.data(), size, &written, nullptr) && written == size;
}

// About 10,000 files and 200 MB in the product folder, some under excluded
// folders and names; the staging folder holds new copies of about half.
Trees PlanTrees(const std::wstring& root) {
    Trees trees;
    trees.product = root + L"\\Rux";
    trees.staging = trees.product + L"\\reupdate";
    unsigned sizeSeed = 7;
    const auto nextSize = [&sizeSeed] {
        sizeSeed = sizeSeed * 1103515245u + 12345u;
        return static_cast<DWORD>(4096 + (sizeSeed >> 8) % 32768);  // 4 to 36 KB, 20 KB on average
    };
    for (int module = 0; module < 50; ++module) {
        for (int sub = 0; sub < 4; ++sub) {
            for (int file = 0; file < 46; ++file) {
                wchar_t name[64];
                swprintf(name, 64, L"Module%02d\\Sub%d\\File%03d.dat", module, sub, file);
                trees.productFiles.push_back({name, nextSize(), false});
            }
        }
    }
    const std::pair<const wchar_t*, int> excludedFolders[] = {
        {L"Skin", 400}, {L"icon", 200}, {L"uninstall", 50}, {L"Update", 100}};
    for (const auto& [folder, count] : excludedFolders) {
        for (int file = 0; file < count; ++file) {
            trees.productFiles.push_back({std::wstring(folder) + L"\\Part" + std::to_wstring(file) + L".bin",
                                          nextSize(), true});
        }
    }
    for (int file = 0; file < 40; ++file) {
        trees.productFiles.push_back({L"Top" + std::to_wstring(file) + L".dll", nextSize(), false});
    }
    for (const wchar_t* name : {L"zelunst.exe", L"settings.cfg", L"settings.cfg.bak", L"optarium.cfg",
                                L"msvcr80.dll", L"msvcp80.dll", L"mfc80u.dll", L"Lomifr.dll", L"hvupdate.exe",
                                L"vestrel.dll", L"rux2upreport.exe", L"Microsoft.VC80.CRT.manifest"}) {
        trees.productFiles.push_back({name, nextSize(), true});
    }
    // Staged: every other product file at the same path and size (so that
    // repeated rounds see the same trees), excluded ones included.
    for (size_t i = 0; i < trees.productFiles.size(); i += 2) trees.stagedFiles.push_back(trees.productFiles[i]);
    for (const SyntheticFile& file : trees.productFiles) {
        if (file.excluded && file.relative.find(L'\\') == std::wstring::npos) trees.stagedFiles.push_back(file);
    }
    return trees;
}

bool BuildTrees(const Trees& trees) {
    for (const SyntheticFile& file : trees.productFiles) {
        const std::wstring path = trees.product + L"\\" + file.relative;
        _CreateParentDirs(path.c_str());
        if (!WriteSizedFile(path, file.size, 'p')) return false;
    }
    for (const SyntheticFile& file : trees.stagedFiles) {
        const std::wstring path = trees.staging + L"\\" + file.relative;
        _CreateParentDirs(path.c_str());
        if (!WriteSizedFile(path, file.size, 's')) return false;
    }
    return true;
}

double TotalMegabytes(const std::vector<SyntheticFile>& files) {
    double bytes = 0;
    for (const SyntheticFile& file : files) bytes += file.size;
    return bytes / (1024.0 * 1024.0);
}

ToolPaths ContextFor(const std::wstring& programDir) {
    ToolPaths context;
    wcscpy_s(context.programDir, programDir.c_str());
    wcscpy_s(context.programFile, L"zelunst.exe");
    return context;
}

// The floor: the same copies and deletions from lists made in advance.
struct FloorPlan {
    std::vector<std::wstring> backupFolders;  // parents before children
    std::vector<std::pair<std::wstring, std::wstring>> backupCopies;
    std::vector<std::pair<std::wstring, std::wstring>> updateCopies;
    std::vector<std::wstring> backupFiles;
};

FloorPlan PlanFloor(const Trees& trees) {
    FloorPlan plan;
    const std::wstring backup = trees.product + L"\\updatetemp";
    plan.backupFolders.push_back(backup);
    for (const SyntheticFile& file : trees.productFiles) {
        if (file.excluded) continue;
        std::wstring relative = file.relative;
        for (size_t at = relative.find(L'\\'); at != std::wstring::npos; at = relative.find(L'\\', at + 1)) {
            const std::wstring folder = backup + L"\\" + relative.substr(0, at);
            if (std::find(plan.backupFolders.end() - std::min<size_t>(plan.backupFolders.size(), 8),
                          plan.backupFolders.end(), folder) == plan.backupFolders.end()) {
                plan.backupFolders.push_back(folder);
            }
        }
        plan.backupCopies.emplace_back(trees.product + L"\\" + relative, backup + L"\\" + relative);
        plan.backupFiles.push_back(backup + L"\\" + relative);
    }
    for (const SyntheticFile& file : trees.stagedFiles) {
        if (file.excluded) continue;
        plan.updateCopies.emplace_back(trees.staging + L"\\" + file.relative, trees.product + L"\\" + file.relative);
    }
    return plan;
}

// The time of each phase of one run of the loop: the backup, the staged
// files, the deletes.
struct Phases {
    double backup = 0;
    double staged = 0;
    double deletes = 0;
    double Total() const { return backup + staged + deletes; }
};

// The time of one exchange: before the window, inside it, after it.
struct Window {
    double before = 0;
    double inside = 0;
    double after = 0;
    double Total() const { return before + inside + after; }
    Window& operator+=(const Window& other) {
        before += other.before;
        inside += other.inside;
        after += other.after;
        return *this;
    }
};

bool RunFloor(const FloorPlan& plan, Phases& phases) {
    bool ok = true;
    double start = Now();
    for (const std::wstring& folder : plan.backupFolders) CreateDirectoryW(folder.c_str(), nullptr);
    for (const auto& [from, to] : plan.backupCopies) ok = CopyFileW(from.c_str(), to.c_str(), FALSE) && ok;
    phases.backup = Now() - start;
    start = Now();
    for (const auto& [from, to] : plan.updateCopies) ok = CopyFileW(from.c_str(), to.c_str(), FALSE) && ok;
    phases.staged = Now() - start;
    start = Now();
    for (const std::wstring& file : plan.backupFiles) DeleteFileW(file.c_str());
    for (auto folder = plan.backupFolders.rbegin(); folder != plan.backupFolders.rend(); ++folder) {
        RemoveDirectoryW(folder->c_str());
    }
    phases.deletes = Now() - start;
    return ok;
}

// The exchange as the update runs it: Stage while the product runs, Switch
// while it is down, Finish once its service is being installed again.
bool RunExchange(const ToolPaths& context, Window& window) {
    UpdateExchange exchange(
        context, [](const std::wstring& folder) { FlushVolumeOf(folder); }, [](DWORD ms) { Sleep(ms); });
    double start = Now();
    bool ok = exchange.Stage();
    window.before = Now() - start;
    start = Now();
    ok = ok && exchange.Switch();
    window.inside = Now() - start;
    start = Now();
    exchange.Finish();
    window.after = Now() - start;
    return ok;
}

bool WriteScript(const std::wstring& path, const std::string& text) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Runs a command line with the given current folder and waits for it.
bool RunAndWait(std::wstring commandLine, const std::wstring& currentDir, DWORD* exitCode) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, currentDir.c_str(), &startup,
                        &info)) {
        return false;
    }
    ProcessHandles handles(info);
    WaitForSingleObject(handles.process.Get(), INFINITE);
    GetExitCodeProcess(handles.process.Get(), exitCode);
    return true;
}

// The administrator's way: set the staging folder aside, xcopy the product
// into a backup outside it, put the staging folder back, xcopy it over the
// product, remove the backup. Run from a scratch folder of its own; the
// rmdir only ever sees a folder that exists.
bool PrepareXcopyScript(const std::wstring& root, const Trees& trees, std::wstring& script, std::wstring& scratch) {
    scratch = root + L"\\scratch";
    CreateDirectoryChain(scratch);
    script = scratch + L"\\exchange.cmd";
    const std::string product = ToUtf8(trees.product);
    const std::string aside = ToUtf8(root + L"\\reupdate-aside");
    const std::string backup = ToUtf8(root + L"\\xbackup");
    const std::string text = "@echo off\r\n"
                             "move \"" + product + "\\reupdate\" \"" + aside + "\" >NUL\r\n"
                             "xcopy \"" + product + "\" \"" + backup + "\\\" /E /I /Q /Y /H >NUL\r\n"
                             "move \"" + aside + "\" \"" + product + "\\reupdate\" >NUL\r\n"
                             "xcopy \"" + product + "\\reupdate\" \"" + product + "\\\" /E /I /Q /Y /H >NUL\r\n"
                             "if exist \"" + backup + "\\NUL\" rmdir /S /Q \"" + backup + "\"\r\n";
    return WriteScript(script, text);
}

bool RunXcopyScript(const std::wstring& script, const std::wstring& scratch) {
    DWORD exitCode = 1;
    return RunAndWait(L"cmd.exe /c \"" + script + L"\"", scratch, &exitCode) && exitCode == 0;
}

// A file list like the product's, with a tenth of it excluded, in mixed case.
FileList SyntheticList(size_t count) {
    FileList list;
    const wchar_t* const excluded[] = {L"Skin\\Part", L"settings.cfg", L"Update\\x", L"msvcr80.dll.old", L"icon\\i"};
    for (size_t i = 0; i < count; ++i) {
        wchar_t entry[128];
        if (i % 10 == 3) {
            swprintf(entry, 128, L"c:\\zb\\rux\\%ls%u", excluded[(i / 10) % 5], static_cast<unsigned>(i));
        } else {
            swprintf(entry, 128, L"c:\\zb\\rux\\Module%02u\\Sub%u\\File%06u.dat", static_cast<unsigned>(i % 50),
                     static_cast<unsigned>(i % 4), static_cast<unsigned>(i));
        }
        list.Append(entry);
    }
    return list;
}

double TimeFilter(size_t count) {
    const ToolPaths context = ContextFor(L"C:\\ZB\\Rux");
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        FileList list = SyntheticList(count);
        const double start = Now();
        _FilterUpdateFiles(list, context, L"C:\\ZB\\Rux");
        best = std::min(best, Now() - start);
    }
    return best;
}

int PeakMode(const std::wstring& root) {
    const ToolPaths context = ContextFor(root + L"\\Rux");
    PROCESS_MEMORY_COUNTERS before{};
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before));
    const bool ok = _DoCopyAndDelFile(context);
    PROCESS_MEMORY_COUNTERS after{};
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after));
    const double mb = 1024.0 * 1024.0;
    std::printf("peak memory of one exchange in a fresh process: working set %.1f MB (%.1f MB before it), "
                "pagefile %.1f MB (%.1f MB before it)%s\n",
                after.PeakWorkingSetSize / mb, before.PeakWorkingSetSize / mb, after.PeakPagefileUsage / mb,
                before.PeakPagefileUsage / mb, ok ? "" : " [exchange FAILED]");
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"--peak") return PeakMode(argv[2]);
    if (argc != 2) {
        std::printf("usage: exchange_bench ROOT | --peak ROOT\n");
        return 2;
    }
    const std::wstring root = argv[1];
    const Trees trees = PlanTrees(root);
    const double buildStart = Now();
    if (!BuildTrees(trees)) {
        std::printf("could not build the trees below %s\n", ToUtf8(root).c_str());
        return 1;
    }
    std::printf("trees: product %zu files %.0f MB, staging %zu files %.0f MB (built in %.1f s)\n",
                trees.productFiles.size(), TotalMegabytes(trees.productFiles), trees.stagedFiles.size(),
                TotalMegabytes(trees.stagedFiles), Now() - buildStart);

    const ToolPaths context = ContextFor(trees.product);
    const FloorPlan floor = PlanFloor(trees);
    std::wstring script, scratch;
    if (!PrepareXcopyScript(root, trees, script, scratch)) return 1;

    // An untimed round of each first: the trees were just written, and the
    // first to run would meet their write-back. Then the exchange and the loop
    // alternate which goes first, so that neither always meets the write-back
    // of the other's files.
    Window warmUpExchange;
    Phases warmUpLoop;
    bool ok = RunExchange(context, warmUpExchange) && RunFloor(floor, warmUpLoop);
    double xcopyBest = 1e9;
    Window exchangeSum;
    Phases floorSum;
    for (int round = 0; round < kRounds; ++round) {
        Window exchange;
        Phases bare;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn + round) % 2 == 0) {
                ok = RunExchange(context, exchange) && ok;
            } else {
                ok = RunFloor(floor, bare) && ok;
            }
        }
        std::printf("round %d: exchange %.2f s (before the window %.2f, inside %.2f, after %.2f), bare loop %.2f s "
                    "(backup %.2f, staged files %.2f, deletes %.2f); window %.2f of the loop, whole %.2f\n",
                    round + 1, exchange.Total(), exchange.before, exchange.inside, exchange.after, bare.Total(),
                    bare.backup, bare.staged, bare.deletes, exchange.inside / bare.Total(),
                    exchange.Total() / bare.Total());
        exchangeSum += exchange;
        floorSum.backup += bare.backup;
        floorSum.staged += bare.staged;
        floorSum.deletes += bare.deletes;
    }
    for (int round = 0; round < kXcopyRounds; ++round) {
        const double start = Now();
        ok = RunXcopyScript(script, scratch) && ok;
        xcopyBest = std::min(xcopyBest, Now() - start);
        std::printf("xcopy script %.2f s\n", Now() - start);
    }
    std::printf("mean of %d rounds: exchange %.2f s (before the window %.2f, inside %.2f, after %.2f), bare loop "
                "%.2f s (backup %.2f, staged files %.2f, deletes %.2f)\n",
                kRounds, exchangeSum.Total() / kRounds, exchangeSum.before / kRounds, exchangeSum.inside / kRounds,
                exchangeSum.after / kRounds, floorSum.Total() / kRounds, floorSum.backup / kRounds,
                floorSum.staged / kRounds, floorSum.deletes / kRounds);
    std::printf("ratio to the bare loop, by the means: window %.2fx (goal <= 0.30x), before %.2fx, after %.2fx, "
                "whole %.2fx\n",
                exchangeSum.inside / floorSum.Total(), exchangeSum.before / floorSum.Total(),
                exchangeSum.after / floorSum.Total(), exchangeSum.Total() / floorSum.Total());
    std::printf("ratio to the xcopy script: %.2fx (mean of the exchange to the best script)\n",
                exchangeSum.Total() / kRounds / xcopyBest);

    const double filter100k = TimeFilter(100000);
    const double filter200k = TimeFilter(200000);
    std::printf("_FilterUpdateFiles: 100,000 entries %.1f ms, 200,000 entries %.1f ms, growth %.2f (target <= 2.3)\n",
                filter100k * 1000, filter200k * 1000, filter200k / filter100k);

    DWORD peakExit = 1;
    RunAndWait(L"\"" + ModulePath() + L"\" --peak \"" + root + L"\"", scratch, &peakExit);
    if (!ok || peakExit != 0) std::printf("a run FAILED: the figures above are not comparable\n");
    return ok && peakExit == 0 ? 0 : 1;
}
