// A product file held by a running program fails the staged copy of a whole
// "-smoothupdate" run: the product folder is put back as it was, the backup
// stays, and once the file is let go the next run updates the product. A run
// ended in the middle of its staged copy or of its rollback is put back by
// the next one.
#include <gtest/gtest.h>

#include <algorithm>

#include "filetree/UpdateExchange.h"
#include "tests/filetree/TreeTestSupport.h"
#include "tests/workflows/SmoothUpdateFixture.h"

using namespace zeltest;
using namespace treetest;

namespace {

// A copy of the main program under a name the update does not end.
const wchar_t kHolderName[] = L"ruxholder.exe";
const std::wstring kHolder = L"C:\\zt\\SuHolder\\ruxholder.exe";

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

class SmoothUpdateRollback : public SmoothUpdateFixture {
protected:
    void TearDown() override {
        standin::EndProcessesNamed(kHolderName, 5000);
        SmoothUpdateFixture::TearDown();
    }
    // Starts a copy of the main program that holds the product file, readable.
    void StartHolderOf(const std::wstring& entry) const {
        CopyFromBin(L"ruxmain.exe", kHolder);
        WriteSettings(kHolder, {{"hold_file", ToUtf8(product.productDir + L"\\" + entry)}, {"hold_readable", "1"}});
        const ProcessHandles holder = StartProcess(L"\"" + kHolder + L"\"");
        ASSERT_TRUE(holder.process.Valid());
        const std::vector<StandInRecord> holds = WaitForRecords(kHolder, "hold_file", 1);
        ASSERT_TRUE(holds.size() == 1 && holds[0].Field("error") == "0" && holds[0].Field("readable") == "1");
    }
};

// Ends the process abruptly, as a power cut would, once the file's size lies
// between the two: a bigger version is being copied over it. False when the
// process ended before that, or two minutes went by.
bool EndWhileCopying(const ProcessHandles& process, const std::wstring& file, DWORD above, DWORD below) {
    const ULONGLONG deadline = GetTickCount64() + 120000;
    for (WIN32_FILE_ATTRIBUTE_DATA data; !HasEnded(process) && GetTickCount64() < deadline; Sleep(1)) {
        if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) continue;
        if (data.nFileSizeLow > above && data.nFileSizeLow < below) {
            TerminateProcess(process.process.Get(), 1);
            return HasEnded(process, 10000);
        }
    }
    return false;
}

// A big product file replaced by a small one, or the other way round: its
// copy takes long enough to end the tool in the middle of it.
constexpr DWORD kSmall = 1 << 20;
constexpr DWORD kBig = 192 << 20;

// Ends a run in the middle of its staged copy, or of the rollback after a
// held file failed it, and checks that the next runs finish the update.
class SmoothUpdateInterrupted : public SmoothUpdateRollback {
protected:
    void EndTheFirstRunDuring(bool rollback) {
        const std::wstring& dir = product.productDir;
        StageUpdate();
        WriteBytes(dir + L"\\Payload.dat", std::string(rollback ? kBig : kSmall, 'o'));
        WriteBytes(dir + L"\\reupdate\\Payload.dat", std::string(rollback ? kSmall : kBig, 'n'));
        // Copied after Payload.dat: held, it fails the copy there.
        WriteText(dir + L"\\Zz.dll", "old zz");
        WriteText(dir + L"\\reupdate\\Zz.dll", "new zz");
        const Paths order = StagedCopyOrder(dir);
        const auto at = [&order](const wchar_t* entry) { return std::find(order.begin(), order.end(), entry) - order.begin(); };
        ASSERT_LT(at(L"payload.dat"), at(L"zz.dll"));
        const Tree before = TreeOf(dir, ChangedByTheRun);

        if (rollback) StartHolderOf(L"Zz.dll");
        DeleteFileW(RunLogPath(dir).c_str());
        const ProcessHandles tool = StartProcess(L"\"" + product.Tool() + L"\" -smoothupdate");
        ASSERT_TRUE(tool.process.Valid());
        ASSERT_TRUE(EndWhileCopying(tool, dir + L"\\Payload.dat", kSmall, kBig));
        ASSERT_TRUE(FileExists(dir + L"\\updatetemp\\payload.dat"));
        if (!rollback) StartHolderOf(L"Zz.dll");

        // The next run puts the product back, and fails on the held file.
        ExpectUpdate(0, Then(kThroughEngineUninstall,
                             {kExchange, "Restore rux from rux\\updatetemp after an interrupted update",
                              "Copy file rux\\reupdate to rux\\ Fail", kExchangeFail}));
        const Tree after = TreeOf(dir, ChangedByTheRun);
        EXPECT_EQ(Differences(before.files, after.files), std::vector<std::string>());
        EXPECT_EQ(after.folders, before.folders);

        // Let go, the run after it updates the product.
        ASSERT_EQ(standin::EndProcessesNamed(kHolderName, 5000), 1);
        ExpectUpdate(1, SucceededLog());
        ExpectProductBack();
        EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
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
    ExpectUpdate(0, Then(kThroughEngineUninstall, {kExchange, "Copy file rux\\reupdate to rux\\ Fail", kExchangeFail}));
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
