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

#include "base/Files.h"
#include "exchange/ReplaceFiles.h"
#include "exchange/UpdateExchange.h"
#include "filetree/FileTree.h"
#include "standins/common/PendingDeletions.h"
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

// The product files the exchange backs up, named as the backup names them.
Files BackedUp(const Files& product, const std::wstring& dir) {
    const ToolPaths context = PathsFor(dir);
    Files backup;
    for (const auto& [path, content] : product) {
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
    // Where the first library moved aside lies, and the line that leaves it for the restart.
    std::wstring Aside() const { return product.productDir + L"\\updatetemp\\update\\inuse\\1\\shellext.dll"; }
    std::string LeftForRestart() const { return "In use, deleted at the next restart: " + ToUtf8(Aside()); }
    // The run log of a successful update that left the library aside for the restart.
    Lines WithLeftForRestart(Lines log) const {
        log.insert(std::find(log.begin(), log.end(), kExchange) + 1, LeftForRestart());
        return log;
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
constexpr DWORD kBig = 192 << 20;

// Ends a run in the middle of its staged copy, or of the rollback after a
// held file failed it, and checks that the next runs finish the update. By
// then the run has moved aside the shell extension, which a program outside
// the product keeps loaded.
class SmoothUpdateInterrupted : public SmoothUpdateRollback {
protected:
    void EndTheFirstRunDuring(bool rollback) {
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
        const Tree before = TreeOf(dir, ChangedByTheRun);
        const std::string oldShellExtension = ReadBytes(dir + L"\\shellext.dll");

        StartShellHost();
        if (rollback) StartHolderOf(L"Zz.dll");
        DeleteFileW(RunLogPath(dir).c_str());
        const ProcessHandles tool = StartProcess(L"\"" + product.Tool() + L"\" -smoothupdate");
        ASSERT_TRUE(tool.process.Valid());
        if (rollback) {
            // While the held Zz.dll is waited for, the added file is held too;
            // the rollback has begun once the old shell extension is back.
            ASSERT_TRUE(ReachedWhileRunning(tool, [&] { return FileExists(dir + L"\\Xq.dat"); }));
            StartHolderOf(L"Xq.dat", kSecondHolderName);
            ASSERT_TRUE(EndWhen(tool, [&] { return ReadBytes(dir + L"\\shellext.dll") == oldShellExtension; }));
            ASSERT_EQ(standin::EndProcessesNamed(kSecondHolderName, 5000), 1);
        } else {
            const std::wstring temporary = TemporaryNameOf(dir + L"\\Xpayload.dat");
            ASSERT_TRUE(EndWhen(tool, [&] {
                WIN32_FILE_ATTRIBUTE_DATA data;
                return GetFileAttributesExW(temporary.c_str(), GetFileExInfoStandard, &data) &&
                       data.nFileSizeLow > kSmall && data.nFileSizeLow < kBig;
            }));
        }
        ASSERT_TRUE(FileExists(dir + L"\\updatetemp\\xpayload.dat"));
        ASSERT_TRUE(FileExists(Aside()));
        if (!rollback) StartHolderOf(L"Zz.dll");

        // The next run puts the product back, and fails on the held file; the
        // library aside is still loaded. It puts a copy of the library back
        // (a name of it could not go while it is loaded), and moves the last
        // backup's name of it out of the new backup's way: a second name left
        // for the restart.
        const std::string secondName = "In use, deleted at the next restart: " +
                                       ToUtf8(product.productDir + L"\\updatetemp\\update\\inuse\\2\\shellext.dll");
        ExpectUpdate(0, Then(kThroughEngineUninstall,
                             {kExchange, "Restore rux from rux\\updatetemp after an interrupted update",
                              "Copy file rux\\reupdate to rux\\ Fail", LeftForRestart(), secondName, kExchangeFail}));
        const Tree after = TreeOf(dir, ChangedByTheRun);
        EXPECT_EQ(Differences(before.files, after.files), std::vector<std::string>());
        EXPECT_EQ(after.folders, before.folders);

        // Let go, the run after it updates the product.
        ASSERT_EQ(standin::EndProcessesNamed(kHolderName, 5000), 1);
        Lines succeeded = WithLeftForRestart(SucceededLog());
        succeeded.insert(std::find(succeeded.begin(), succeeded.end(), LeftForRestart()) + 1, secondName);
        ExpectUpdate(1, succeeded);
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

TEST_F(SmoothUpdateInterrupted, AToolEndedDuringTheStagedCopyIsPutBackByTheNextRun) { EndTheFirstRunDuring(false); }

TEST_F(SmoothUpdateInterrupted, AToolEndedDuringTheRollbackIsPutBackByTheNextRun) { EndTheFirstRunDuring(true); }

TEST_F(SmoothUpdateInUse, ALibraryLoadedOutsideTheProductIsReplacedAndItsOldFileLeftForTheRestart) {
    const std::wstring& dir = product.productDir;
    StageUpdate();
    WriteText(dir + L"\\reupdate\\shellext.dll", "new shell extension");
    const std::string old = ReadBytes(dir + L"\\shellext.dll");
    const Tree before = TreeOf(dir, ChangedByTheRun);
    const ProcessHandles host = StartShellHost();

    ExpectUpdate(1, WithLeftForRestart(SucceededLog()));
    ExpectProductBack();
    // (Compared as truth values: a failure would print the whole library.)
    EXPECT_TRUE(ReadBytes(dir + L"\\shellext.dll") == "new shell extension");
    EXPECT_FALSE(HasEnded(host));
    EXPECT_TRUE(HasModuleFrom(host, dir + L"\\shellext.dll"));
    EXPECT_EQ(Differences(before.files, TreeOf(dir, ChangedByTheRun).files),
              (std::vector<std::string>{"changed Main.dll", "missing settings.cfg", "changed settings.cfg.bak",
                                        "changed shellext.dll", "added data\\new.dat", "added plugins\\deep\\extra.bin"}));
    // All that is left of the update is the old library: aside, where it goes
    // at the restart with every folder holding it, deepest first, and the
    // backup's name of it, which cannot go while the library is loaded.
    const Files left = Snapshot(dir + L"\\updatetemp");
    EXPECT_EQ(left.size(), 2u);
    EXPECT_TRUE(left.count(L"update\\inuse\\1\\shellext.dll") == 1 && left.at(L"update\\inuse\\1\\shellext.dll") == old);
    EXPECT_TRUE(SameFile(dir + L"\\updatetemp\\shellext.dll", Aside()));
    const std::wstring backup = dir + L"\\updatetemp";
    EXPECT_EQ(standin::PendingDeletions(), (Paths{Aside(), backup + L"\\update\\inuse\\1", backup + L"\\update\\inuse",
                                                  backup + L"\\update", backup}));
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
