// Product files that other programs hold, through whole "-smoothupdate"
// runs. A file held for a moment is waited for; a library loaded from outside
// the product is moved aside and left for the next restart. A file held for
// good fails the staged copy: the product folder is put back as it was, the
// backup stays, and once the file is let go the next run updates the product.
// A run ended in the middle of its staged copy or of its rollback is put back
// by the next one.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <regex>
#include <set>

#include "base/Files.h"
#include "exchange/ReplaceFiles.h"
#include "exchange/UpdateExchange.h"
#include "filetree/FileTree.h"
#include "standins/common/PendingDeletions.h"
#include "standins/common/ServiceControl.h"
#include "tests/filetree/TreeTestSupport.h"
#include "tests/workflows/SmoothUpdateFixture.h"

using namespace zeltest;
using namespace treetest;

namespace {

// Copies of the main program outside the product, under names the update
// does not end: one holds a file, one keeps a library loaded.
const wchar_t kHolderName[] = L"ruxholder.exe";
const wchar_t kSecondHolderName[] = L"ruxholder2.exe";
const wchar_t kShellHostName[] = L"shellhost.exe";
const std::wstring kOutsideDir = L"C:\\zt\\SuHolder\\";
const std::wstring kHolder = kOutsideDir + kHolderName;

// What a run changes beside the product's own files: its log, the stand-ins'
// records, the backup.
bool ChangedByTheRun(std::wstring path) {
    AsciiLowercase(path);
    const auto endsWith = [&path](const std::wstring& tail) {
        return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    };
    return endsWith(L".record") || path == L"zelunst.log" || path == L"updatetemp" ||
           path.rfind(L"updatetemp\\", 0) == 0;
}

// The paths whose content differs between two trees, or that only one has:
// a failure names them rather than printing whole programs.
std::vector<std::string> Differences(const Files& expected, const Files& actual) {
    std::vector<std::string> paths;
    for (const auto& [path, content] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) {
            paths.push_back("missing " + ToUtf8(path));
        } else if (found->second != content) {
            paths.push_back("changed " + ToUtf8(path));
        }
    }
    for (const auto& [path, content] : actual) {
        if (expected.count(path) == 0) paths.push_back("added " + ToUtf8(path));
    }
    return paths;
}

// The product files the exchange backs up, the ones the update replaces,
// named as the backup names them.
Files BackedUp(const Files& product, const std::wstring& dir) {
    const ToolPaths context = PathsFor(dir);
    Files backup;
    for (const auto& [path, content] : product) {
        if (!FileExists(dir + L"\\reupdate\\" + path)) continue;
        FileList one;
        one.Append(dir + L"\\" + path);
        _FilterUpdateFiles(one, context, dir);
        if (!one.Empty()) backup.emplace(one.First().substr(dir.size() + 1), content);
    }
    return backup;
}

// Whether the process has a module loaded from path.
bool HasModuleFrom(const ProcessHandles& process, const std::wstring& path) {
    const FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetProcessId(process.process.Get())));
    MODULEENTRY32W module{};
    module.dwSize = sizeof(module);
    for (BOOL more = Module32FirstW(snapshot.Get(), &module); more; more = Module32NextW(snapshot.Get(), &module)) {
        if (lstrcmpiW(module.szExePath, path.c_str()) == 0) return true;
    }
    return false;
}

class SmoothUpdateRollback : public SmoothUpdateFixture {
protected:
    void TearDown() override {
        for (const wchar_t* name : {kHolderName, kSecondHolderName, kShellHostName}) {
            standin::EndProcessesNamed(name, 5000);
        }
        SmoothUpdateFixture::TearDown();
    }
    // Starts a copy of the main program outside the product with the
    // settings, once it has recorded that it did what they ask.
    ProcessHandles StartOutside(const wchar_t* name, const std::map<std::string, std::string>& settings,
                                const std::string& event) const {
        const std::wstring program = kOutsideDir + name;
        CopyFromBin(L"ruxmain.exe", program);
        WriteSettings(program, settings);
        ProcessHandles started = StartProcess(L"\"" + program + L"\"");
        const std::vector<StandInRecord> done = WaitForRecords(program, event, 1);
        EXPECT_TRUE(done.size() == 1 && done[0].Field("error") == "0") << event;
        return started;
    }
    // A holder of the product file, readable, as a running program holds its own.
    void StartHolderOf(const std::wstring& entry, const wchar_t* holder = kHolderName) const {
        StartOutside(holder, {{"hold_file", ToUtf8(product.productDir + L"\\" + entry)}, {"hold_readable", "1"}},
                     "hold_file");
    }
    // A program that keeps the product's shell extension loaded.
    ProcessHandles StartShellHost() const {
        return StartOutside(kShellHostName, {{"load_library", ToUtf8(product.productDir + L"\\shellext.dll")}},
                            "load_library");
    }
    // Where the n-th file moved aside lies, and the line that leaves it for the restart.
    std::wstring Aside(int n = 1, const wchar_t* name = L"shellext.dll") const {
        return product.productDir + L"\\updatetemp\\update\\inuse\\" + std::to_wstring(n) + L"\\" + name;
    }
    std::string LeftForRestart(int n = 1, const wchar_t* name = L"shellext.dll") const {
        return "In use, deleted at the next restart: " + ToUtf8(Aside(n, name));
    }
    // The run log of a successful update that left the library aside for the restart.
    Lines WithLeftForRestart(Lines log) const {
        log.insert(std::find(log.begin(), log.end(), kExchange) + 1, LeftForRestart());
        return log;
    }
    // A file in use during a whole update, replaced by it: the old file is
    // moved aside by the switch, the backup's name of it when the backup is
    // deleted. Both go at the restart, with every folder holding them, and
    // then nothing of the update is left.
    void ExpectOnlyTheOldFileLeftForTheRestart(const wchar_t* name, const std::string& old) const {
        const std::wstring& dir = product.productDir;
        const Files left = Snapshot(dir + L"\\updatetemp");
        const std::wstring first = std::wstring(L"update\\inuse\\1\\") + name;
        EXPECT_EQ(left.size(), 2u);
        // (Compared as truth values: a failure would print a whole program.)
        EXPECT_TRUE(left.count(first) == 1 && left.at(first) == old);
        EXPECT_TRUE(SameFile(Aside(1, name), Aside(2, name)));
        const std::wstring backup = dir + L"\\updatetemp";
        EXPECT_EQ(standin::PendingDeletions(),
                  (Paths{Aside(1, name), Aside(2, name), backup + L"\\update\\inuse\\1", backup + L"\\update\\inuse\\2",
                         backup + L"\\update\\inuse", backup + L"\\update", backup}));
    }
    // What the system does at the restart with what waits for it, once the
    // programs that held it have ended.
    static void Restart() {
        for (const std::wstring& path : standin::PendingDeletions()) {
            if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
        }
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                           L"PendingFileRenameOperations");
    }
};

using SmoothUpdateInUse = SmoothUpdateRollback;

// Whether reached() comes to hold while the process runs, within two minutes.
bool ReachedWhileRunning(const ProcessHandles& process, const std::function<bool()>& reached) {
    for (const ULONGLONG deadline = GetTickCount64() + 120000; !HasEnded(process) && GetTickCount64() < deadline;
         Sleep(1)) {
        if (reached()) return true;
    }
    return false;
}

// Ends the process abruptly, as a power cut would, once reached() holds.
bool EndWhen(const ProcessHandles& process, const std::function<bool()>& reached) {
    return ReachedWhileRunning(process, reached) && TerminateProcess(process.process.Get(), 1) &&
           HasEnded(process, 10000);
}

// A small product file replaced by a big one: its copy takes long enough to
// end the tool in the middle of it.
constexpr DWORD kSmall = 1 << 20;
constexpr DWORD kBig = 96 << 20;

// The size of the biggest file the exchange has written under a temporary
// name in folder so far; 0 when there is none.
DWORD LargestTemporaryFileIn(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    const FindHandle find(FindFirstFileW((folder + L"\\zelunst-*.new").c_str(), &entry));
    DWORD largest = 0;
    for (BOOL more = find.Valid(); more; more = FindNextFileW(find.Get(), &entry)) {
        largest = std::max(largest, entry.nFileSizeLow);
    }
    return largest;
}

enum class EndDuring {
    Staging,      // while the staged files are written beside their targets
    Switch,       // while the switch waits for a held file, after the shell extension
    Rollback,     // while the rollback after that held file waits for another one
    AfterSwitch,  // once the switch is complete, before the backup is deleted
};

// Ends a run in the middle of its staging, its switch, or the rollback after
// a held file failed the switch, and checks that the next runs finish the
// update. In the switch the run moves aside the shell extension, which a
// program outside the product keeps loaded.
class SmoothUpdateInterrupted : public SmoothUpdateRollback {
protected:
    // The run ended in the middle may leave an aside slot taken, depending on
    // the instant it was ended, so the slots the later runs take are not
    // pinned here (SmoothUpdateInUse pins the numbering): their lines are
    // compared with the slot left out, and must each name a file of its own.
    void ExpectUpdateInAnySlots(DWORD exitCode, const Lines& log) const {
        const auto withoutSlots = [](Lines lines) {
            static const std::regex slot(R"(\\inuse\\\d+\\)");
            for (std::string& line : lines) line = std::regex_replace(line, slot, "\\inuse\\<n>\\");
            return lines;
        };
        DeleteFileW(RunLogPath(product.productDir).c_str());
        const ProcessResult result = RunUpdateAs(product.Tool());
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, exitCode);
        const Lines written = UpdateLog(product.productDir);
        EXPECT_EQ(withoutSlots(written), withoutSlots(log));
        EXPECT_EQ(std::set<std::string>(written.begin(), written.end()).size(), written.size());
    }
    void EndTheFirstRunDuring(EndDuring when) {
        const std::wstring& dir = product.productDir;
        StageUpdate();
        WriteText(dir + L"\\reupdate\\shellext.dll", "new shell extension");
        WriteBytes(dir + L"\\Xpayload.dat", std::string(kSmall, 'o'));
        WriteBytes(dir + L"\\reupdate\\Xpayload.dat", std::string(kBig, 'n'));
        // Added after the shell extension: held, it holds up the rollback.
        WriteText(dir + L"\\reupdate\\Xq.dat", "added");
        // Copied after Xpayload.dat: held, it fails the copy there.
        WriteText(dir + L"\\Zz.dll", "old zz");
        WriteText(dir + L"\\reupdate\\Zz.dll", "new zz");
        const Paths order = StagedCopyOrder(dir);
        const auto at = [&order](const wchar_t* entry) { return std::find(order.begin(), order.end(), entry) - order.begin(); };
        ASSERT_LT(at(L"shellext.dll"), at(L"xpayload.dat"));
        ASSERT_LT(at(L"shellext.dll"), at(L"xq.dat"));
        ASSERT_LT(at(L"xpayload.dat"), at(L"zz.dll"));
        ASSERT_LT(at(L"xq.dat"), at(L"zz.dll"));
        // What the next run must leave (a whole product holds two big files,
        // and a 32-bit test program room for few such trees at once).
        Tree whole = TreeOf(dir, ChangedByTheRun);
        const std::string oldShellExtension = ReadBytes(dir + L"\\shellext.dll");

        StartShellHost();
        const bool heldFromTheStart = when == EndDuring::Switch || when == EndDuring::Rollback;
        if (heldFromTheStart) StartHolderOf(L"Zz.dll");
        DeleteFileW(RunLogPath(dir).c_str());
        const ProcessHandles tool = StartProcess(L"\"" + product.Tool() + L"\" -smoothupdate");
        ASSERT_TRUE(tool.process.Valid());
        switch (when) {
        case EndDuring::Staging:
            ASSERT_TRUE(EndWhen(tool, [&] {
                const DWORD size = LargestTemporaryFileIn(dir);
                return size > kSmall && size < kBig;
            }));
            // Nothing of the product has changed yet: the staged files lie
            // beside their targets.
            EXPECT_EQ(Differences(whole.files, TreeOf(dir, [](const std::wstring& path) {
                                      return ChangedByTheRun(path) || path.find(L"zelunst-") != std::wstring::npos;
                                  }).files),
                      std::vector<std::string>());
            StartHolderOf(L"Zz.dll");
            break;
        case EndDuring::Switch:
            ASSERT_TRUE(EndWhen(tool, [&] { return ReadBytes(dir + L"\\shellext.dll") == "new shell extension"; }));
            break;
        case EndDuring::Rollback:
            // While the held Zz.dll is waited for, the added file is held too;
            // the rollback has begun once the old shell extension is back.
            ASSERT_TRUE(ReachedWhileRunning(tool, [&] { return FileExists(dir + L"\\Xq.dat"); }));
            StartHolderOf(L"Xq.dat", kSecondHolderName);
            ASSERT_TRUE(EndWhen(tool, [&] { return ReadBytes(dir + L"\\shellext.dll") == oldShellExtension; }));
            ASSERT_EQ(standin::EndProcessesNamed(kSecondHolderName, 5000), 1);
            break;
        case EndDuring::AfterSwitch:
            // The switch's last line: both names of the loaded library left for the restart.
            ASSERT_TRUE(EndWhen(tool, [&] {
                const Lines log = UnstampedLogLines(dir);
                return std::find(log.begin(), log.end(), LeftForRestart(2)) != log.end();
            }));
            StartHolderOf(L"Zz.dll");
            break;
        }
        const bool switchBegun = when != EndDuring::Staging;
        ASSERT_EQ(FileExists(dir + L"\\updatetemp\\xpayload.dat"), switchBegun);
        ASSERT_EQ(FileExists(Aside()), switchBegun);

        // The next run puts the product back, and fails on the held file; the
        // library aside is still loaded. It puts a copy of the library back
        // (a name of it could not go while it is loaded), and moves the last
        // backup's name of it out of the new backup's way: a second name left
        // for the restart.
        const std::string secondName = "In use, deleted at the next restart: " +
                                       ToUtf8(product.productDir + L"\\updatetemp\\update\\inuse\\2\\shellext.dll");
        Lines failed = {kExchange, "Restore rux from rux\\updatetemp after an interrupted update",
                        "Copy file rux\\reupdate to rux\\ Fail", LeftForRestart(), secondName, kExchangeFail};
        // What a run ended in its staging left is removed without a line;
        // only the switch of the next run moves the library aside. A run
        // ended after its switch left a whole new product and its backup,
        // which the next run deletes, moving the name of the loaded library
        // aside; its own switch then fails, and puts back that new product.
        if (!switchBegun) failed = {kExchange, "Copy file rux\\reupdate to rux\\ Fail", LeftForRestart(), kExchangeFail};
        if (when == EndDuring::AfterSwitch) {
            failed = {kExchange, "Copy file rux\\reupdate to rux\\ Fail", LeftForRestart(), secondName, kExchangeFail};
        }
        if (when == EndDuring::AfterSwitch) {
            whole = Tree();
            whole = TreeOf(dir, ChangedByTheRun);
        }
        ExpectUpdateInAnySlots(0, Then(kThroughEngineUninstall, failed));
        const Tree after = TreeOf(dir, ChangedByTheRun);
        EXPECT_EQ(Differences(whole.files, after.files), std::vector<std::string>());
        EXPECT_EQ(after.folders, whole.folders);

        // Let go, the run after it updates the product.
        ASSERT_EQ(standin::EndProcessesNamed(kHolderName, 5000), 1);
        Lines succeeded = WithLeftForRestart(SucceededLog());
        succeeded.insert(std::find(succeeded.begin(), succeeded.end(), LeftForRestart()) + 1, secondName);
        ExpectUpdateInAnySlots(1, succeeded);
        ExpectProductBack();
        for (const std::wstring& entry : order) {
            EXPECT_EQ(ReadBytes(dir + L"\\" + entry), ReadBytes(dir + L"\\reupdate\\" + entry)) << ToUtf8(entry);
        }
    }
};

}  // namespace

TEST_F(SmoothUpdateRollback, AFileInUseFailsTheCopyAndTheProductIsPutBackUntilItIsLetGo) {
    const std::wstring& dir = product.productDir;
    StageUpdate();
    for (const wchar_t* name : {L"A.dll", L"B.dll", L"C.dll"}) {
        WriteText(dir + L"\\" + name, "old " + ToUtf8(name));
        WriteText(dir + L"\\reupdate\\" + name, "new " + ToUtf8(name));
    }
    // The last replaced file in copy order is held, so that the copy has
    // already replaced and added files when it fails.
    const Paths order = StagedCopyOrder(dir);
    std::wstring held;
    // Every old file, the held one too, is read-only and must come back so.
    for (const std::wstring& entry : order) {
        if (SetFileAttributesW((dir + L"\\" + entry).c_str(), FILE_ATTRIBUTE_READONLY)) held = entry;
    }
    ASSERT_EQ(order.size(), 6u);
    ASSERT_FALSE(held.empty());
    ASSERT_NE(held, order.front());

    StartHolderOf(held);

    const Tree before = TreeOf(dir, ChangedByTheRun);
    // Held for good, the file is waited for at most 10 s.
    const ULONGLONG start = GetTickCount64();
    ExpectUpdate(0, Then(kThroughEngineUninstall, {kExchange, "Copy file rux\\reupdate to rux\\ Fail", kExchangeFail}));
    EXPECT_GE(GetTickCount64() - start, HeldFileWaits::kPerFileMs);
    EXPECT_LT(GetTickCount64() - start, 60000u);
    const Tree after = TreeOf(dir, ChangedByTheRun);
    EXPECT_EQ(Differences(before.files, after.files), std::vector<std::string>());
    EXPECT_EQ(after.folders, before.folders);
    for (const wchar_t* name : {L"\\A.dll", L"\\B.dll", L"\\C.dll", L"\\Main.dll"}) {
        EXPECT_TRUE(GetFileAttributesW((dir + name).c_str()) & FILE_ATTRIBUTE_READONLY) << ToUtf8(name);
    }
    const Files backup = Snapshot(dir + L"\\updatetemp");
    Files expectedBackup = BackedUp(before.files, dir);
    // The deinstaller recorded its run before the backup was made.
    for (const auto& [path, content] : backup) {
        if (ChangedByTheRun(path)) expectedBackup.emplace(path, content);
    }
    EXPECT_EQ(Differences(expectedBackup, backup), std::vector<std::string>());
    EXPECT_EQ(backup.count(L"main.dll"), 1u);

    // Let go, the next run goes through.
    ASSERT_EQ(standin::EndProcessesNamed(kHolderName, 5000), 1);
    ExpectUpdate(1, SucceededLog());
    ExpectProductBack();
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
    for (const wchar_t* name : {L"A.dll", L"B.dll", L"C.dll"}) {
        EXPECT_EQ(ReadBytes(dir + L"\\" + name), "new " + ToUtf8(name));
    }
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "main v2");
    EXPECT_EQ(ReadBytes(dir + L"\\data\\new.dat"), "new data");
    EXPECT_EQ(ReadBytes(dir + L"\\plugins\\deep\\extra.bin"), "extra");
}

TEST_F(SmoothUpdateInterrupted, AToolEndedWhileItStagesLeavesNothingAfterTheNextRun) {
    EndTheFirstRunDuring(EndDuring::Staging);
}

TEST_F(SmoothUpdateInterrupted, AToolEndedDuringTheSwitchIsPutBackByTheNextRun) { EndTheFirstRunDuring(EndDuring::Switch); }

TEST_F(SmoothUpdateInterrupted, AToolEndedDuringTheRollbackIsPutBackByTheNextRun) {
    EndTheFirstRunDuring(EndDuring::Rollback);
}

TEST_F(SmoothUpdateInterrupted, AToolEndedAfterTheSwitchLeavesItsBackupToTheNextRun) {
    EndTheFirstRunDuring(EndDuring::AfterSwitch);
}

// The staged files are written beside the product's while it still runs:
// the main program is ended, and the engine's service stopped, only once
// they are all written. The run logs what a run always logged.
TEST_F(SmoothUpdateRollback, TheStagedFilesAreWrittenBeforeTheMainProgramIsEnded) {
    const std::wstring& dir = product.productDir;
    StageUpdate();
    // Big enough that its copy is seen in the middle.
    WriteBytes(dir + L"\\reupdate\\Xpayload.dat", std::string(kBig, 'n'));
    DeleteFileW(RunLogPath(dir).c_str());
    const ProcessHandles tool = StartProcess(L"\"" + product.Tool() + L"\" -smoothupdate");
    ASSERT_TRUE(ReachedWhileRunning(tool, [&] { return LargestTemporaryFileIn(dir) > 0; }));
    EXPECT_FALSE(HasEnded(mainProgram));
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "main v1");
    ASSERT_TRUE(HasEnded(tool, 240000));
    DWORD exitCode = 0;
    GetExitCodeProcess(tool.process.Get(), &exitCode);
    EXPECT_EQ(exitCode, 1u);
    EXPECT_EQ(UpdateLog(dir), SucceededLog());
    ExpectProductBack();
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "main v2");
    EXPECT_EQ(LargestTemporaryFileIn(dir), 0u);
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
}

// The product installed on a volume of its own (a tmpfs, as root) that has
// room for the staged files once but not twice: the update fails before it
// ends or stops anything, and leaves nothing of what it wrote.
class SmoothUpdateRoom : public SmoothUpdateFixture {
protected:
    SmoothUpdateRoom() : SmoothUpdateFixture(L"C:\\zt\\SuRoom") {}
    void SetUp() override {
        volume_.emplace(L"C:\\zt\\SuRoom", 96ull << 20);
        ASSERT_TRUE(volume_->Mounted());
        SmoothUpdateFixture::SetUp();
    }

private:
    std::optional<TmpfsMount> volume_;
};

TEST_F(SmoothUpdateRoom, AFullVolumeWhileTheStagedFilesAreWrittenLeavesTheProductRunning) {
    const std::wstring& dir = product.productDir;
    StageUpdate();
    WriteBytes(dir + L"\\reupdate\\Big.bin", std::string(static_cast<size_t>(FreeBytes(dir) * 2 / 3), 'n'));
    const Tree before = TreeOf(dir, ChangedByTheRun);
    const ULONGLONG freeBefore = FreeBytes(dir);
    ExpectUpdate(0, {kLogStart, "Copy file rux\\reupdate to rux\\ Fail", "_DoStageUpdateFiles Fail"});
    EXPECT_FALSE(HasEnded(mainProgram));
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(Differences(before.files, TreeOf(dir, ChangedByTheRun).files), std::vector<std::string>());
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
    // The run log is all it wrote.
    EXPECT_GE(FreeBytes(dir) + (64u << 10), freeBefore);
}

TEST_F(SmoothUpdateInUse, ALibraryLoadedOutsideTheProductIsReplacedAndItsOldFileLeftForTheRestart) {
    const std::wstring& dir = product.productDir;
    StageUpdate();
    WriteText(dir + L"\\reupdate\\shellext.dll", "new shell extension");
    const std::string old = ReadBytes(dir + L"\\shellext.dll");
    const Tree before = TreeOf(dir, ChangedByTheRun);
    const ProcessHandles host = StartShellHost();

    Lines succeeded = WithLeftForRestart(SucceededLog());
    succeeded.insert(std::find(succeeded.begin(), succeeded.end(), LeftForRestart()) + 1, LeftForRestart(2));
    ExpectUpdate(1, succeeded);
    ExpectProductBack();
    // (Compared as truth values: a failure would print the whole library.)
    EXPECT_TRUE(ReadBytes(dir + L"\\shellext.dll") == "new shell extension");
    EXPECT_FALSE(HasEnded(host));
    EXPECT_TRUE(HasModuleFrom(host, dir + L"\\shellext.dll"));
    EXPECT_EQ(Differences(before.files, TreeOf(dir, ChangedByTheRun).files),
              (std::vector<std::string>{"changed Main.dll", "missing settings.cfg", "changed settings.cfg.bak",
                                        "changed shellext.dll", "added data\\new.dat", "added plugins\\deep\\extra.bin"}));
    ExpectOnlyTheOldFileLeftForTheRestart(L"shellext.dll", old);
    standin::EndProcessesNamed(kShellHostName, 5000);
    Restart();
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
}

// A product program that the update does not end, still running from the
// file the update replaces (as the product's service may still be stopping).
// It is read-only, which a delete at the restart does not clear by itself.
TEST_F(SmoothUpdateInUse, AProductProgramStillRunningIsReplacedAndItsOldFileLeftForTheRestart) {
    const std::wstring& dir = product.productDir;
    StageUpdate();
    const std::wstring program = dir + L"\\ruxhelper.exe";
    CopyFromBin(L"ruxmain.exe", program);
    WriteSettings(program, {{"hold_file", ToUtf8(kOutsideDir + L"helper.txt")}, {"hold_readable", "1"}});
    SetFileAttributesW(program.c_str(), FILE_ATTRIBUTE_READONLY);
    WriteText(dir + L"\\reupdate\\ruxhelper.exe", "new helper");
    const std::string old = ReadBytes(program);
    const ProcessHandles running = StartProcess(L"\"" + program + L"\"");
    ASSERT_EQ(WaitForRecords(program, "hold_file", 1).size(), 1u);

    Lines succeeded = SucceededLog();
    succeeded.insert(std::find(succeeded.begin(), succeeded.end(), kExchange) + 1,
                     {LeftForRestart(1, L"ruxhelper.exe"), LeftForRestart(2, L"ruxhelper.exe")});
    ExpectUpdate(1, succeeded);
    ExpectProductBack();
    EXPECT_EQ(ReadBytes(program), "new helper");
    EXPECT_FALSE(HasEnded(running));
    ExpectOnlyTheOldFileLeftForTheRestart(L"ruxhelper.exe", old);
    TerminateProcess(running.process.Get(), 0);
    ASSERT_TRUE(HasEnded(running, 10000));
    Restart();
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
}

TEST_F(SmoothUpdateInUse, AFileHeldForAMomentIsWaitedFor) {
    const std::wstring& dir = product.productDir;
    StageUpdate();
    // Held readable, as a scanner holds a file, until 1.5 s after the backup starts.
    StartOutside(kHolderName,
                 {{"hold_file", ToUtf8(dir + L"\\Main.dll")}, {"hold_readable", "1"}, {"hold_ms", "1500"},
                  {"hold_ms_after", ToUtf8(dir + L"\\updatetemp")}},
                 "hold_file");
    ExpectUpdate(1, SucceededLog());
    ExpectProductBack();
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "main v2");
    EXPECT_EQ(ReadRecords(kHolder, "hold_released").size(), 1u);
}
