// The exclusion filter and the update file exchange on real folders; the run
// log is the test program's own ZelUnst.log beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <numeric>
#include <optional>

#include "base/Files.h"
#include "exchange/ExchangeJournal.h"
#include "exchange/UpdateExchange.h"
#include "filetree/FileTree.h"
#include "tests/filetree/TreeTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;
using namespace treetest;

namespace {

using Lines = std::vector<std::string>;

// The lines the run log gets from here on.
class LogWatch {
public:
    LogWatch() : start_(LogLines(TestProgramFolder()).size()) {}
    Lines NewLines() const {
        const Lines all = LogLines(TestProgramFolder());
        return Lines(all.begin() + static_cast<std::ptrdiff_t>(std::min(start_, all.size())), all.end());
    }

private:
    size_t start_;
};

const Lines kStarted = {"_DoCopyAndDelFile"};
const Lines kBackupFailed = {"_DoCopyAndDelFile", "Copy file rux to rux\\updatetemp Fail"};
const Lines kUpdateFailed = {"_DoCopyAndDelFile", "Copy file rux\\reupdate to rux\\ Fail"};
const Lines kRecovered = {"_DoCopyAndDelFile", "Restore rux from rux\\updatetemp after an interrupted update"};
const Lines kNotRecovered = {"_DoCopyAndDelFile", "Restore rux from rux\\updatetemp Fail"};

std::wstring JournalIn(const std::wstring& dir) { return dir + L"\\updatetemp\\update\\journal.txt"; }

// The exchange of the product folder dir, its pauses for files in use noted
// in pauses rather than slept: a file held for good is tried as often, only
// sooner.
bool Exchange(const std::wstring& dir, std::vector<DWORD>* pauses = nullptr,
              const VolumeFlush& flushVolume = [](const std::wstring& folder) { FlushVolumeOf(folder); },
              const MakeLink& makeLink = CreateHardLinkOnce) {
    std::vector<DWORD> unused;
    std::vector<DWORD>& taken = pauses != nullptr ? *pauses : unused;
    return _DoCopyAndDelFile(PathsFor(dir), flushVolume, [&taken](DWORD ms) { taken.push_back(ms); }, makeLink);
}

// Links to the files below a folder Data refused, as FAT refuses them.
DWORD RefuseLinksUnderData(const std::wstring& link, const std::wstring& existing) {
    const bool data = existing.find(L"\\Data\\") != std::wstring::npos || existing.find(L"\\data\\") != std::wstring::npos;
    return data ? ERROR_INVALID_FUNCTION : CreateHardLinkOnce(link, existing);
}

// One staged entry for each exclusion of a tool named ZelUnst.exe.
const wchar_t* const kExcluded[] = {L"Skin\\A.bmp",   L"icon\\I.ico",          L"uninstall\\unins000.exe",
                                    L"Update\\U.dat", L"reupdate\\Nested.txt", L"ZELUNST.EXE",
                                    L"msvcr80d.dll",  L"msvcp80d.dll",         L"msvcr80.dll",
                                    L"msvcp80.dll",   L"reupdate.exe",         L"hvupdate.exe",
                                    L"vestrel.dll",   L"rux2upreport.exe",     L"Microsoft.VC80.CRT.manifest",
                                    L"mfc80u.dll",    L"optarium.cfg",         L"settings.cfg",
                                    L"Lomifr.dll",    L"settings.cfg.bak",     L"msvcr80.dll.old"};

// A product folder with a staged update covering every exclusion.
std::wstring MakeProduct(const std::wstring& name) {
    const std::wstring dir = FreshDir(name) + L"\\Rux";
    WriteFiles(dir, {{L"Main.DLL", "old main"},
                     {L"ZelUnst.exe", "old tool"},
                     {L"settings.cfg", "old settings"},
                     {L"settings.cfg.bak", "old bak"},
                     {L"msvcr80.dll.old", "old crt"},
                     {L"LOMIFR.dll", "old lomifr"},
                     {L"Only\\Product.txt", "product only"},
                     {L"Skin\\A.bmp", "old skin"},
                     {L"Uninstall\\unins000.exe", "old uninstaller"}});
    for (const wchar_t* excluded : kExcluded) {
        WriteText(dir + L"\\reupdate\\" + excluded, "staged " + ToUtf8(excluded));
    }
    WriteText(dir + L"\\reupdate\\Main.DLL", "new main");
    WriteText(dir + L"\\reupdate\\Data\\New.DAT", "new dat");
    return dir;
}

bool InBackup(const std::wstring& path) { return path == L"updatetemp" || path.rfind(L"updatetemp\\", 0) == 0; }

Files WithoutBackup(Files files) {
    for (auto file = files.begin(); file != files.end();) file = InBackup(file->first) ? files.erase(file) : std::next(file);
    return files;
}

// Every file with its content and every folder, the backup left out.
Tree ProductTree(const std::wstring& dir) { return TreeOf(dir, InBackup); }

Lines Then(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// A staged update that replaces files (one of them with a read-only file),
// adds files beside them, into an existing empty folder and into new nested
// folders.
std::wstring MakeRollbackProduct(const std::wstring& name) {
    const std::wstring dir = FreshDir(name) + L"\\Rux";
    WriteFiles(dir, {{L"Main.DLL", "old main"},
                     {L"b.txt", "old b"},
                     {L"Sub\\c.txt", "old c"},
                     {L"Sub\\Keep.txt", "kept"},
                     {L"Only.txt", "product only"},
                     {L"reupdate\\Main.dll", "new main"},
                     {L"reupdate\\b.txt", "new b"},
                     {L"reupdate\\Sub\\c.txt", "new c"},
                     {L"reupdate\\Sub\\Added.txt", "added"},
                     {L"reupdate\\Empty\\z.txt", "into an empty folder"},
                     {L"reupdate\\New\\Deep\\Er\\x.bin", "deep"},
                     {L"reupdate\\New\\y.bin", "new y"},
                     {L"reupdate\\Top.txt", "top"},
                     {L"reupdate\\Sub\\Hollow\\h.txt", "hollow"}});
    CreateDirectoryChain(dir + L"\\Empty");
    CreateDirectoryChain(dir + L"\\Sub\\Hollow");
    SetFileAttributesW((dir + L"\\reupdate\\b.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    return dir;
}

// Makes the copy of a staged entry fail: an existing target is held readable
// but not writable, as a running program holds its files; for a new one the
// staged file is held without sharing.
FileHandle FailCopyOf(const std::wstring& dir, const std::wstring& entry) {
    const std::wstring target = dir + L"\\" + entry;
    if (FileExists(target)) return Hold(target, GENERIC_READ, FILE_SHARE_READ);
    return Hold(dir + L"\\reupdate\\" + entry, GENERIC_READ, 0);
}

}  // namespace

TEST(FilterUpdateFiles, DropsTheExclusionsOfTheGivenBaseAndLowercasesTheRest) {
    const ToolPaths context = PathsFor(L"C:\\ZT\\App");
    Paths staged = {L"C:\\ZT\\App\\reupdate\\Main.DLL"};
    for (const wchar_t* excluded : kExcluded) staged.push_back(L"C:\\zt\\APP\\reupdate\\" + std::wstring(excluded));
    for (const wchar_t* kept :
         {L"Data\\New.DAT", L"sub\\settings.cfg", L"updatetemp\\a.txt", L"update.txt", L"icons\\x.ico", L"skin"}) {
        staged.push_back(L"c:\\zt\\app\\reupdate\\" + std::wstring(kept));
    }
    staged.push_back(L"c:\\zt\\app\\main.dll");
    staged.push_back(L"c:\\zt\\app\\skin\\a.bmp");

    FileList list = ListOf(staged);
    EXPECT_TRUE(_FilterUpdateFiles(list, context, L"C:\\ZT\\App\\reupdate"));
    EXPECT_EQ(Entries(list),
              (Paths{L"c:\\zt\\app\\reupdate\\main.dll", L"c:\\zt\\app\\reupdate\\data\\new.dat",
                     L"c:\\zt\\app\\reupdate\\sub\\settings.cfg", L"c:\\zt\\app\\reupdate\\updatetemp\\a.txt",
                     L"c:\\zt\\app\\reupdate\\update.txt", L"c:\\zt\\app\\reupdate\\icons\\x.ico",
                     L"c:\\zt\\app\\reupdate\\skin", L"c:\\zt\\app\\main.dll", L"c:\\zt\\app\\skin\\a.bmp"}));

    // With the product folder as base the staging folder itself is out.
    FileList product = ListOf(staged);
    _FilterUpdateFiles(product, context, L"C:\\ZT\\App");
    EXPECT_EQ(Entries(product), (Paths{L"c:\\zt\\app\\main.dll"}));
}

TEST(FilterUpdateFiles, RemovesLeadingRepeatedAndAllEntries) {
    const ToolPaths context = PathsFor(L"c:\\b", L"tool.exe");
    FileList list = ListOf({L"c:\\b\\Settings.cfg", L"c:\\b\\tool.exe", L"c:\\b\\a", L"C:\\B\\SETTINGS.CFG",
                            L"c:\\b\\settings.cfg", L"c:\\b\\A"});
    _FilterUpdateFiles(list, context, L"c:\\b");
    EXPECT_EQ(Entries(list), (Paths{L"c:\\b\\a", L"c:\\b\\a"}));

    FileList allExcluded = ListOf({L"c:\\b\\skin\\x", L"c:\\b\\tool.exe"});
    _FilterUpdateFiles(allExcluded, context, L"c:\\b");
    EXPECT_TRUE(allExcluded.Empty());
    FileList empty;
    EXPECT_TRUE(_FilterUpdateFiles(empty, context, L"c:\\b"));
    EXPECT_TRUE(empty.Empty());

    // Without a file name of its own the tool excludes nothing more.
    FileList unnamed = ListOf({L"c:\\b\\a", L"c:\\b\\skin\\x"});
    _FilterUpdateFiles(unnamed, PathsFor(L"c:\\b", L""), L"c:\\b");
    EXPECT_EQ(Entries(unnamed), (Paths{L"c:\\b\\a"}));
}

TEST(DoCopyAndDelFile, ReplacesTheProductFilesWithTheStagedOnes) {
    const std::wstring dir = MakeProduct(L"exchange-ok");
    // Each bit alone refuses a copy over the file on Windows; Wine refuses none to root.
    SetFileAttributesW((dir + L"\\Main.DLL").c_str(), kBlockingAttributes);
    // Not updated, it keeps its bits when the backup's name of it goes.
    SetFileAttributesW((dir + L"\\Only\\Product.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    const DWORD onlyAttributes = GetFileAttributesW((dir + L"\\Only\\Product.txt").c_str());
    WriteText(dir + L"\\updatetemp\\Stale.txt", "left by an earlier run");
    Files expected = Snapshot(dir);
    expected.erase(L"updatetemp\\Stale.txt");
    expected[L"Main.DLL"] = "new main";
    expected[L"data\\new.dat"] = "new dat";

    const LogWatch log;
    EXPECT_TRUE(Exchange(dir));
    EXPECT_EQ(log.NewLines(), kStarted);
    EXPECT_EQ(Snapshot(dir), expected);
    EXPECT_EQ(GetFileAttributesW((dir + L"\\Main.DLL").c_str()),
              GetFileAttributesW((dir + L"\\reupdate\\Main.DLL").c_str()));
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
    EXPECT_EQ(StoredName(dir + L"\\data"), L"data");
    EXPECT_EQ(GetFileAttributesW((dir + L"\\Only\\Product.txt").c_str()), onlyAttributes);

    // A staging folder without files: the backup comes and goes, nothing changes.
    const std::wstring empty = FreshDir(L"exchange-empty") + L"\\Rux";
    WriteText(empty + L"\\Main.dll", "main");
    CreateDirectoryChain(empty + L"\\reupdate\\Sub");
    const Files before = Snapshot(empty);
    EXPECT_TRUE(Exchange(empty));
    EXPECT_EQ(Snapshot(empty), before);
    EXPECT_FALSE(DirExists(empty + L"\\updatetemp"));
}

TEST(DoCopyAndDelFile, FailsBeforeTouchingAnythingForARootOrMissingFolder) {
    const LogWatch log;
    for (const wchar_t* root : {L"", L"C:", L"C:\\"}) {
        EXPECT_FALSE(Exchange(root)) << ToUtf8(root);
    }
    EXPECT_EQ(log.NewLines(), Lines());
    EXPECT_FALSE(DirExists(L"C:\\updatetemp"));

    const LogWatch missingLog;
    const std::wstring missing = FreshDir(L"exchange-missing") + L"\\Rux";
    EXPECT_FALSE(Exchange(missing));
    EXPECT_EQ(missingLog.NewLines(), kStarted);
    EXPECT_FALSE(DirExists(missing));
}

TEST(DoCopyAndDelFile, FailsWhenTheBackupFolderIsNoFolder) {
    const std::wstring dir = MakeProduct(L"exchange-nofolder");
    WriteText(dir + L"\\updatetemp", "a file in the way");
    const Files before = Snapshot(dir);
    const LogWatch log;
    EXPECT_FALSE(Exchange(dir));
    EXPECT_EQ(log.NewLines(), kStarted);
    EXPECT_EQ(Snapshot(dir), before);
}

TEST(DoCopyAndDelFile, ABackupCopyFailureLeavesThePartialBackupAndTheProduct) {
    const std::wstring dir = MakeProduct(L"exchange-backupfail");
    WriteText(dir + L"\\Data\\Held.txt", "held");
    WriteText(dir + L"\\reupdate\\Data\\Held.txt", "new held");
    const Files before = Snapshot(dir);
    const LogWatch log;
    {
        // Where links are refused, a file held without sharing cannot be copied either.
        const FileHandle locked = Hold(dir + L"\\Data\\Held.txt", GENERIC_READ | GENERIC_WRITE, 0);
        ASSERT_TRUE(locked.Valid());
        EXPECT_FALSE(Exchange(dir, nullptr, FlushVolumeOf, RefuseLinksUnderData));
    }
    EXPECT_EQ(log.NewLines(), kBackupFailed);
    EXPECT_TRUE(DirExists(dir + L"\\updatetemp"));
    EXPECT_EQ(WithoutBackup(Snapshot(dir)), before);
    const Files backup = Snapshot(dir + L"\\updatetemp");
    EXPECT_EQ(backup.count(L"data\\held.txt"), 0u);
}

// The staged files are written before anything else: without them nothing
// is backed up, and an earlier backup is left to the next switch.
TEST(DoCopyAndDelFile, AMissingStagingFolderChangesNothing) {
    const std::wstring dir = MakeProduct(L"exchange-nostaging");
    _DeleteTree(dir + L"\\reupdate", 1);
    WriteText(dir + L"\\updatetemp\\Stale.txt", "left by an earlier run");
    WriteText(dir + L"\\updatetemp\\Busy.txt", "still open");
    const LogWatch log;
    Files product;
    {
        // A leftover that cannot be deleted is backed up with the rest.
        const FileHandle busy = Hold(dir + L"\\updatetemp\\Busy.txt", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(busy.Valid());
        product = Snapshot(dir);
        EXPECT_FALSE(Exchange(dir));
    }
    EXPECT_EQ(log.NewLines(), kStarted);
    EXPECT_EQ(Snapshot(dir), product);
}

TEST(DoCopyAndDelFile, AStagedCopyFailurePutsTheProductBackWhereverItFails) {
    // The backup names the files that the update replaces.
    const Files backup = {{L"main.dll", "old main"}, {L"b.txt", "old b"}, {L"sub\\c.txt", "old c"}};
    for (const size_t failing : {0, 4, 8}) {
        const std::wstring dir = MakeRollbackProduct(L"exchange-rollback" + std::to_wstring(failing));
        const Paths staged = StagedCopyOrder(dir);
        ASSERT_EQ(staged.size(), 9u);
        const Tree before = ProductTree(dir);
        const LogWatch log;
        {
            const FileHandle held = FailCopyOf(dir, staged[failing]);
            ASSERT_TRUE(held.Valid());
            EXPECT_FALSE(Exchange(dir));
        }
        SCOPED_TRACE("failing at " + ToUtf8(staged[failing]));
        EXPECT_EQ(log.NewLines(), kUpdateFailed);
        EXPECT_EQ(ProductTree(dir), before);
        // The staged copy made b.txt read-only; the old one was not.
        EXPECT_EQ(GetFileAttributesW((dir + L"\\b.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
        // A new file that cannot be written fails the staging, before
        // anything is backed up; a held product file fails its rename.
        if (!FileExists(dir + L"\\" + staged[failing])) {
            EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
            continue;
        }
        EXPECT_EQ(Snapshot(dir + L"\\updatetemp"), backup);
        // The backup copied no data: it names the product's own files.
        EXPECT_TRUE(SameFile(dir + L"\\b.txt", dir + L"\\updatetemp\\b.txt"));
    }
}

TEST(DoCopyAndDelFile, AStagedFileOverAFolderLeavesTheProductAsItWas) {
    const std::wstring dir = MakeRollbackProduct(L"exchange-folder");
    WriteText(dir + L"\\reupdate\\Conflict", "a file");
    WriteText(dir + L"\\Conflict\\inside.txt", "old conflict");
    const Tree before = ProductTree(dir);
    const LogWatch log;
    EXPECT_FALSE(Exchange(dir));
    EXPECT_EQ(log.NewLines(), kUpdateFailed);
    EXPECT_EQ(ProductTree(dir), before);
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
}

namespace {

// A folder of the product that is a link out of it, or that another volume
// is mounted in (a tmpfs, which Wine shows as a mount point): the backup does
// not follow it, so a staged file that landed there would have no old version
// to go back to. The update fails before anything changes, naming the folder;
// a crafted journal that names a path through it changes nothing either.
void ExpectNothingWrittenThrough(bool mounted) {
    {
        const std::wstring root = FreshDir(mounted ? L"exchange-mounted" : L"exchange-linked");
        const std::wstring dir = MakeRollbackProduct(std::wstring(mounted ? L"exchange-mounted" : L"exchange-linked") + L"\\In");
        const std::wstring outside = mounted ? dir + L"\\Linked" : root + L"\\Outside";
        std::optional<TmpfsMount> volume;
        if (mounted) {
            volume.emplace(outside, 1 << 20);
            ASSERT_TRUE(volume->Mounted());
        } else {
            CreateDirectoryChain(outside);
            ASSERT_TRUE(MakeUnixLink(outside, dir + L"\\Linked"));
        }
        WriteFiles(outside, {{L"Held.txt", "outside"}, {L"Victim.txt", "victim"}});
        WriteText(dir + L"\\reupdate\\Linked\\Held.txt", "new held");
        WriteText(dir + L"\\reupdate\\Linked\\Sub\\New.txt", "new below");
        const Tree before = ProductTree(dir);
        const LogWatch log;
        EXPECT_FALSE(Exchange(dir));
        const std::string line = "Not written through a link or mount point: " + ToUtf8(dir + L"\\Linked");
        EXPECT_EQ(log.NewLines(), (Lines{"_DoCopyAndDelFile", line, "Copy file rux\\reupdate to rux\\ Fail"}));
        EXPECT_EQ(ProductTree(dir), before);
        EXPECT_EQ(Snapshot(outside), (Files{{L"Held.txt", "outside"}, {L"Victim.txt", "victim"}}));
        EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));

        // An interrupted run's journal through the folder is not followed,
        // nor its record of read-only files; the backup stays with its
        // journal, which the product may still need once the link is gone.
        _DeleteTree(dir + L"\\reupdate\\Linked", 1);
        CreateDirectoryChain(dir + L"\\updatetemp\\update");
        WriteText(dir + L"\\updatetemp\\linked\\held.txt", "planted in the backup");
        ASSERT_TRUE(WriteJournal(JournalIn(dir), L"\xFEFFzelunst update journal\r\nadd Linked\\Victim.txt\tzelunst-0.new\r\n"
                                                 L"replace Linked\\Held.txt\tzelunst-1.new\r\nend 2\r\n"));
        BY_HANDLE_FILE_INFORMATION victim{};
        {
            const FileHandle file = Hold(outside + L"\\Victim.txt", FILE_READ_ATTRIBUTES, kShareAll);
            ASSERT_TRUE(GetFileInformationByHandle(file.Get(), &victim));
        }
        const FileIdentity victimFile{victim.dwVolumeSerialNumber,
                                      (static_cast<ULONGLONG>(victim.nFileIndexHigh) << 32) | victim.nFileIndexLow};
        ASSERT_TRUE(WriteJournal(dir + L"\\updatetemp\\update\\attributes.txt",
                                 FormatAttributeRecord({{L"Linked\\Victim.txt", FILE_ATTRIBUTE_READONLY, victimFile}})));
        const LogWatch journalLog;
        EXPECT_FALSE(Exchange(dir));
        EXPECT_EQ(journalLog.NewLines(),
                  (Lines{"_DoCopyAndDelFile",
                         "Journal not followed, it names a path through a link or mount point: " + ToUtf8(dir + L"\\Linked"),
                         "Restore rux from rux\\updatetemp Fail"}));
        EXPECT_EQ(Snapshot(outside), (Files{{L"Held.txt", "outside"}, {L"Victim.txt", "victim"}}));
        EXPECT_EQ(GetFileAttributesW((outside + L"\\Victim.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
        EXPECT_EQ(ReadBytes(dir + L"\\updatetemp\\linked\\held.txt"), "planted in the backup");
        EXPECT_TRUE(FileExists(JournalIn(dir)));
    }
}

}  // namespace

TEST(DoCopyAndDelFile, NeverWritesThroughALinkOutOfTheProduct) { ExpectNothingWrittenThrough(false); }

// A tmpfs is mounted as root only.
TEST(ExchangeVolumes, NeverWritesIntoAVolumeMountedInTheProduct) { ExpectNothingWrittenThrough(true); }

TEST(DoCopyAndDelFile, LeavesWhatALinkedBackupFolderPointsTo) {
    const std::wstring root = FreshDir(L"exchange-links");
    const std::wstring dir = root + L"\\Rux";
    WriteText(root + L"\\Outside\\Secret.txt", "outside");
    WriteText(dir + L"\\Main.dll", "old main");
    WriteText(dir + L"\\reupdate\\Main.dll", "new main");
    ASSERT_TRUE(MakeUnixLink(root + L"\\Outside", dir + L"\\updatetemp"));
    EXPECT_FALSE(Exchange(dir));
    EXPECT_EQ(Snapshot(root + L"\\Outside"), (Files{{L"Secret.txt", "outside"}}));
}

TEST(DoCopyAndDelFile, NeverCopiesAStagedFileIntoTheBackup) {
    // Staged below reupdate\updatetemp\, a file would land over the backup of
    // the product file of the same relative path.
    const std::wstring dir = FreshDir(L"exchange-stagedbackup") + L"\\Rux";
    WriteText(dir + L"\\Main.DLL", "old main");
    WriteText(dir + L"\\reupdate\\Main.DLL", "new main");
    WriteText(dir + L"\\reupdate\\updatetemp\\Main.DLL", "staged over the backup");
    WriteText(dir + L"\\reupdate\\UpdateTemp\\a.txt", "staged a");
    Files expected = Snapshot(dir);
    expected[L"Main.DLL"] = "new main";
    const LogWatch log;
    {
        // Held without sharing: an attempt to copy it would fail the exchange.
        const FileHandle held = Hold(dir + L"\\reupdate\\UpdateTemp\\a.txt", GENERIC_READ, 0);
        ASSERT_TRUE(held.Valid());
        EXPECT_TRUE(Exchange(dir));
    }
    EXPECT_EQ(log.NewLines(), kStarted);
    EXPECT_EQ(Snapshot(dir), expected);
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));

    // When a later copy fails, the product file goes back to its old version.
    const std::wstring failing = FreshDir(L"exchange-stagedbackup-fail") + L"\\Rux";
    WriteText(failing + L"\\Main.DLL", "old main");
    WriteText(failing + L"\\b.txt", "old b");
    WriteText(failing + L"\\reupdate\\Main.DLL", "new main");
    WriteText(failing + L"\\reupdate\\updatetemp\\Main.DLL", "staged over the backup");
    WriteText(failing + L"\\reupdate\\b.txt", "new b");
    const Files before = Snapshot(failing);
    const LogWatch failLog;
    {
        const FileHandle held = Hold(failing + L"\\b.txt", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(held.Valid());
        EXPECT_FALSE(Exchange(failing));
    }
    EXPECT_EQ(failLog.NewLines(), kUpdateFailed);
    EXPECT_EQ(WithoutBackup(Snapshot(failing)), WithoutBackup(before));
    EXPECT_EQ(Snapshot(failing + L"\\updatetemp"), (Files{{L"main.dll", "old main"}, {L"b.txt", "old b"}}));
}

TEST(DoCopyAndDelFile, FlushesInOrderAndTheNextRunPutsBackWhatAnInterruptedOneLeft) {
    const std::wstring dir = MakeRollbackProduct(L"exchange-cut");
    const auto productTree = [](const std::wstring& folder) {
        return TreeOf(folder, [](const std::wstring& path) { return InBackup(path) || path.rfind(L"reupdate", 0) == 0; });
    };
    const Tree before = productTree(dir);
    // What is on the disk at each flush, which is refused each time. At the
    // second the product is copied aside twice, as a power cut would leave it.
    const std::wstring left = FreshDir(L"exchange-cut-left") + L"\\Rux";
    const std::wstring cut = FreshDir(L"exchange-cut-journal") + L"\\Rux";
    Lines seen;
    EXPECT_TRUE(Exchange(dir, nullptr, [&](const std::wstring& folder) {
        EXPECT_EQ(folder, dir);
        seen.push_back(std::string(FileExists(JournalIn(dir)) ? "journal" : "no journal") +
                       (FileExists(dir + L"\\updatetemp\\main.dll") ? ", backup, " : ", no backup, ") +
                       ReadBytes(dir + L"\\Main.DLL"));
        if (seen.size() == 2) for (const std::wstring& copy : {left, cut}) WriteFiles(copy, Snapshot(dir));
    }));
    EXPECT_EQ(seen, (Lines{"no journal, backup, old main", "journal, backup, new main", "no journal, backup, new main"}));
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
    // The updater has staged something else since: here, nothing.
    for (const std::wstring& copy : {left, cut}) _DeleteTree(copy + L"\\reupdate", 0);

    // A journal without its end mark is none: the product stays as it is.
    const std::string journal = ReadBytes(JournalIn(cut));
    WriteBytes(JournalIn(cut), journal.substr(0, journal.rfind(std::string("e\0n\0d\0", 6))));
    const Tree interrupted = productTree(cut);
    ASSERT_FALSE(interrupted == before);
    const LogWatch log;
    EXPECT_TRUE(Exchange(cut));
    EXPECT_EQ(productTree(cut), interrupted);
    // A journal that cannot be read keeps its backup all the same.
    {
        const FileHandle busy = Hold(JournalIn(left), GENERIC_READ, 0);
        EXPECT_FALSE(Exchange(left));
        EXPECT_EQ(ReadBytes(left + L"\\updatetemp\\main.dll"), "old main");
    }
    // A file that cannot be put back keeps the backup and its journal; the
    // rest goes back, and the next run puts back the whole journal.
    {
        const FileHandle held = Hold(left + L"\\b.txt", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(held.Valid());
        EXPECT_FALSE(Exchange(left));
        EXPECT_TRUE(FileExists(JournalIn(left)));
        EXPECT_EQ(ReadBytes(left + L"\\updatetemp\\main.dll"), "old main");
        EXPECT_EQ(ReadBytes(left + L"\\Main.DLL"), "old main");
    }
    EXPECT_TRUE(Exchange(left));
    EXPECT_EQ(log.NewLines(), Then(kStarted, Then(kNotRecovered, Then(kNotRecovered, kRecovered))));
    EXPECT_EQ(productTree(left), before);
    EXPECT_FALSE(DirExists(left + L"\\updatetemp"));
}

TEST(DoCopyAndDelFile, ALoadedLibraryGoesAsideAndComesBackWhenALaterFileCannotBeReplaced) {
    const std::wstring dir = FreshDir(L"exchange-loaded") + L"\\Rux";
    CopyFromBin(L"shellext.dll", dir + L"\\ShellExt.dll");
    const std::string old = ReadBytes(dir + L"\\ShellExt.dll");
    WriteFiles(dir, {{L"Zz.txt", "old zz"}, {L"reupdate\\ShellExt.dll", "new shellext"}, {L"reupdate\\Zz.txt", "new zz"}});
    ASSERT_EQ(StagedCopyOrder(dir), (Paths{L"shellext.dll", L"zz.txt"}));
    const Library loaded(LoadLibraryExW((dir + L"\\ShellExt.dll").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    ASSERT_TRUE(loaded.Valid());
    const std::wstring aside = dir + L"\\updatetemp\\update\\inuse\\1\\ShellExt.dll";
    const Lines leftForRestart = {"In use, deleted at the next restart: " + ToUtf8(aside)};
    std::vector<DWORD> pauses;
    {
        const FileHandle held = Hold(dir + L"\\Zz.txt", GENERIC_READ, FILE_SHARE_READ);
        const LogWatch log;
        EXPECT_FALSE(Exchange(dir, &pauses));
        EXPECT_EQ(log.NewLines(), Then(kUpdateFailed, leftForRestart));
    }
    // (Compared as truth values: a failure would print the whole library.)
    EXPECT_TRUE(ReadBytes(dir + L"\\ShellExt.dll") == old);
    EXPECT_TRUE(ReadBytes(aside) == old);
    // The held file was waited for while it was to be copied, not again in the rollback.
    EXPECT_EQ(std::accumulate(pauses.begin(), pauses.end(), DWORD{0}), HeldFileWaits::kPerFileMs);

    // The rollback put a copy of the loaded library back, so the next run,
    // before the restart, replaces it without waiting; the last backup's name
    // of it, in the new backup's way, is moved aside too.
    EXPECT_FALSE(SameFile(dir + L"\\ShellExt.dll", aside));
    pauses.clear();
    const LogWatch log;
    EXPECT_TRUE(Exchange(dir, &pauses));
    // (The backup's name of it, lowercased, is what is moved aside this time.)
    EXPECT_EQ(log.NewLines(), Then(kStarted, Then(leftForRestart, {"In use, deleted at the next restart: " +
                                                                   ToUtf8(dir + L"\\updatetemp\\update\\inuse\\2\\shellext.dll")})));
    EXPECT_EQ(pauses, std::vector<DWORD>());
    EXPECT_EQ(ReadBytes(dir + L"\\ShellExt.dll"), "new shellext");
    EXPECT_EQ(ReadBytes(dir + L"\\Zz.txt"), "new zz");
}

// A scanner holds Main.dll with delete sharing (renamed aside) and lets go of
// it before the end: deleted then, without a line. A program loads the
// library the copy added before the rollback removes it: moved aside, so the
// rollback finishes, and left for the restart.
TEST(DoCopyAndDelFile, ARollbackMovesALoadedAddedFileAsideAndDeletesWhatWasLetGo) {
    const std::wstring dir = FreshDir(L"exchange-let-go") + L"\\Rux";
    WriteFiles(dir, {{L"Main.dll", "old main"}, {L"Zz.txt", "old zz"}, {L"reupdate\\Main.dll", "new main"},
                     {L"reupdate\\Zz.txt", "new zz"}});
    CopyFromBin(L"shellext.dll", dir + L"\\reupdate\\Added.dll");
    ASSERT_EQ(StagedCopyOrder(dir), (Paths{L"added.dll", L"main.dll", L"zz.txt"}));
    FileHandle scanner = Hold(dir + L"\\Main.dll", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    const FileHandle held = Hold(dir + L"\\Zz.txt", GENERIC_READ, FILE_SHARE_READ);
    const std::wstring aside = dir + L"\\updatetemp\\update\\inuse\\";
    Library loaded;
    bool mainWasAside = false;
    int flushes = 0;
    const LogWatch log;
    EXPECT_FALSE(_DoCopyAndDelFile(
        PathsFor(dir),
        [&](const std::wstring&) {
            // The second flush comes after the rollback, before the journal goes.
            if (++flushes != 2) return;
            mainWasAside = ReadBytes(aside + L"1\\Main.dll") == "old main";
            scanner.Reset();
        },
        [&](DWORD) {
            if (!loaded) loaded.Reset(LoadLibraryExW((dir + L"\\added.dll").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
        }));
    ASSERT_TRUE(loaded.Valid());
    EXPECT_TRUE(mainWasAside);
    EXPECT_EQ(log.NewLines(), Then(kUpdateFailed, {"In use, deleted at the next restart: " + ToUtf8(aside) + "2\\added.dll"}));
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "old main");
}

TEST(DoCopyAndDelFile, AJournalThatReachesOutsideTheProductFolderIsIgnored) {
    // The elevated tool deletes what a journal in the product folder names as
    // added, overwrites what it names as replaced and removes its folders.
    for (const wchar_t* line : {L"add ..\\Victim.txt", L"replace ..\\Victim.txt", L"add Sub\\..\\..\\Victim.txt",
                                L"replace .\\..\\Victim.txt", L"folder ..\\Outside", L"add C:\\zt\\journal-out\\Victim.txt"}) {
        SCOPED_TRACE(ToUtf8(line));
        const std::wstring root = FreshDir(L"journal-out");
        const std::wstring dir = root + L"\\Rux";
        WriteFiles(root, {{L"Victim.txt", "outside"}, {L"Rux\\Victim.txt", "inside"}, {L"Rux\\reupdate\\a.txt", "new"}});
        CreateDirectoryChain(root + L"\\Outside");
        CreateDirectoryChain(dir + L"\\updatetemp\\update");
        ASSERT_TRUE(WriteJournal(JournalIn(dir), L"\xFEFFzelunst update journal\r\n" + std::wstring(line) + L"\r\nend 1\r\n"));
        const LogWatch log;
        EXPECT_TRUE(Exchange(dir));
        EXPECT_EQ(log.NewLines(), kStarted);
        EXPECT_EQ(ReadBytes(root + L"\\Victim.txt"), "outside");
        EXPECT_TRUE(DirExists(root + L"\\Outside"));
    }
}

// On a tmpfs of its own (as root): a product of six 4 MiB files, four of them
// staged anew, with room for the new files but not for a second copy of the
// product; then with less room than the new files take, which fails the update.
TEST(ExchangeVolumes, AnUpdateNeedsRoomForItsNewFilesOnly) {
    constexpr ULONGLONG kMiB = 1 << 20;
    for (const ULONGLONG freeMiB : {20, 8}) {
        SCOPED_TRACE(std::to_string(freeMiB) + " MiB free");
        const std::wstring dir = FreshDir(L"exchange-room" + std::to_wstring(freeMiB)) + L"\\Rux";
        const TmpfsMount volume(dir, (24 + 16 + freeMiB) * kMiB);
        ASSERT_TRUE(volume.Mounted());
        Files old;
        Files updated;
        for (int i = 0; i < 6; ++i) {
            const std::wstring name = L"Part" + std::to_wstring(i) + L".bin";
            old[name] = std::string(4 * kMiB, static_cast<char>('a' + i));
            updated[name] = i < 4 ? std::string(4 * kMiB, static_cast<char>('A' + i)) : old[name];
            WriteText(dir + L"\\" + name, old[name]);
            if (i < 4) WriteText(dir + L"\\reupdate\\" + name, updated[name]);
        }
        const ULONGLONG freeBefore = FreeBytes(dir);
        const LogWatch log;
        const bool exchanged = Exchange(dir);
        std::printf("%s MiB free before the exchange, %s MiB after it\n", std::to_string(freeBefore / kMiB).c_str(),
                    std::to_string(FreeBytes(dir) / kMiB).c_str());
        EXPECT_EQ(exchanged, freeMiB == 20);
        EXPECT_EQ(log.NewLines(), exchanged ? kStarted : kUpdateFailed);
        // (Compared as truth values: a failure would print megabytes.)
        const Tree product = TreeOf(dir, [](const std::wstring& path) { return InBackup(path) || path.rfind(L"reupdate", 0) == 0; });
        EXPECT_TRUE(product.files == (exchanged ? updated : old));
        // A volume run full while the staged files are written leaves no
        // backup, and gives its room back.
        EXPECT_TRUE(exchanged || !DirExists(dir + L"\\updatetemp"));
        EXPECT_EQ(FreeBytes(dir), freeBefore);
    }
}

TEST(DoCopyAndDelFile, AFileThatRefusesALinkIsCopiedIntoTheBackupAndBack) {
    const std::wstring dir = FreshDir(L"exchange-nolink") + L"\\Rux";
    WriteFiles(dir, {{L"Main.dll", "old main"}, {L"Data\\a.bin", "old a"}, {L"Zz.txt", "old zz"},
                     {L"reupdate\\Main.dll", "new main"}, {L"reupdate\\Data\\a.bin", "new a"}, {L"reupdate\\Zz.txt", "new zz"}});
    const Paths order = StagedCopyOrder(dir);
    ASSERT_LT(std::find(order.begin(), order.end(), L"data\\a.bin"), std::find(order.begin(), order.end(), L"zz.txt"));
    const Files before = Snapshot(dir);
    // A staged copy that fails after Data\a.bin was replaced: a copy of its
    // backup goes back, and the backup stays whole.
    const LogWatch log;
    {
        const FileHandle held = Hold(dir + L"\\Zz.txt", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(held.Valid());
        EXPECT_FALSE(Exchange(dir, nullptr, FlushVolumeOf, RefuseLinksUnderData));
    }
    EXPECT_EQ(log.NewLines(), kUpdateFailed);
    EXPECT_EQ(WithoutBackup(Snapshot(dir)), before);
    EXPECT_EQ(ReadBytes(dir + L"\\updatetemp\\data\\a.bin"), "old a");
    EXPECT_FALSE(SameFile(dir + L"\\Data\\a.bin", dir + L"\\updatetemp\\data\\a.bin"));
    EXPECT_TRUE(SameFile(dir + L"\\Main.dll", dir + L"\\updatetemp\\main.dll"));
    EXPECT_TRUE(Exchange(dir, nullptr, FlushVolumeOf, RefuseLinksUnderData));
    EXPECT_EQ(ReadBytes(dir + L"\\Data\\a.bin"), "new a");
    EXPECT_EQ(ReadBytes(dir + L"\\Zz.txt"), "new zz");
}

// A run ended while it waits for a read-only product file that another
// program holds (the pause never returns) leaves the file read-only: its bit
// is cleared only for each try at the rename.
TEST(DoCopyAndDelFile, ARunEndedWhileItWaitsForAReadOnlyFileLeavesItReadOnly) {
    const std::wstring dir = MakeProduct(L"exchange-readonly-held");
    SetFileAttributesW((dir + L"\\Main.DLL").c_str(), FILE_ATTRIBUTE_READONLY);
    struct RunEnded {};
    {
        const FileHandle held = Hold(dir + L"\\Main.DLL", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(held.Valid());
        EXPECT_THROW(_DoCopyAndDelFile(PathsFor(dir), FlushVolumeOf, [](DWORD) { throw RunEnded(); }), RunEnded);
    }
    EXPECT_EQ(ReadBytes(dir + L"\\Main.DLL"), "old main");
    EXPECT_TRUE(GetFileAttributesW((dir + L"\\Main.DLL").c_str()) & FILE_ATTRIBUTE_READONLY);
}

// A run ended after it staged (killed before its switch, or before its
// product was stopped) leaves its files under temporary names and their
// journal; the next run removes those, and only those, before it stages.
TEST(DoCopyAndDelFile, TheNextRunRemovesWhatAnEndedRunStagedAndNothingElse) {
    const std::wstring dir = MakeRollbackProduct(L"exchange-staged-left");
    // Product files named as the exchange names its temporary files, now and
    // before it chose free names.
    WriteFiles(dir, {{L"zelunst-0.new", "product's own"}, {L"Sub\\zelunst-2.new", "product's own too"},
                     {L"b.txt.zelunst-new", "product's own, named as temporary files once were"}});
    const auto productTree = [](const std::wstring& folder) {
        return TreeOf(folder, [](const std::wstring& path) { return InBackup(path) || path.rfind(L"reupdate", 0) == 0; });
    };
    const Tree before = productTree(dir);
    // The exchange keeps a reference to the paths: they outlive it.
    const ToolPaths paths = PathsFor(dir);
    {
        UpdateExchange ended(paths, FlushVolumeOf, [](DWORD) {});
        ASSERT_TRUE(ended.Stage());
    }
    ASSERT_TRUE(FileExists(dir + L"\\updatetemp\\update\\staged.txt"));
    ASSERT_FALSE(productTree(dir) == before);
    // A second run stages again before the first one's files were cleared,
    // and is ended too: it removes the first one's files, so that there is
    // one file for each staged one beside the product.
    {
        UpdateExchange ended(paths, FlushVolumeOf, [](DWORD) {});
        ASSERT_TRUE(ended.Stage());
    }
    EXPECT_EQ(productTree(dir).files.size(), before.files.size() + StagedCopyOrder(dir).size());
    const LogWatch log;
    EXPECT_TRUE(Exchange(dir));
    EXPECT_EQ(log.NewLines(), kStarted);
    Files temporary;
    for (const auto& [path, content] : productTree(dir).files) {
        if (path.find(L"zelunst-") != std::wstring::npos) temporary.emplace(path, content);
    }
    EXPECT_EQ(temporary, (Files{{L"zelunst-0.new", "product's own"}, {L"Sub\\zelunst-2.new", "product's own too"},
                                {L"b.txt.zelunst-new", "product's own, named as temporary files once were"}}));
    EXPECT_EQ(ReadBytes(dir + L"\\Main.DLL"), "new main");
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
}

// Names that meet the temporary names, each staged file in place after the
// update: one of 255 characters, the longest a file name can be, leaves no
// room for anything appended to it; staged folders named as temporary names
// must not take a staged file's.
TEST(DoCopyAndDelFile, NamesThatMeetTheTemporaryNamesAreUpdated) {
    const std::wstring longName = std::wstring(251, L'n') + L".dll";
    Files tempFolders{{L"A.txt", "old a"}, {L"reupdate\\A.txt", "new a"}};
    for (int i = 0; i < 4; ++i) tempFolders[L"reupdate\\zelunst-" + std::to_wstring(i) + L".new\\x.txt"] = "new x";
    const struct {
        const wchar_t* name;
        Files files;
        bool firstNamesTaken;  // A.txt is staged among the first four, whose names the folders take
    } rows[] = {
        {L"exchange-longname", {{longName, "old long"}, {L"reupdate\\" + longName, "new long"}}, false},
        {L"exchange-tempfolder", tempFolders, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(ToUtf8(row.name));
        const std::wstring dir = FreshDir(row.name) + L"\\Rux";
        WriteFiles(dir, row.files);
        if (row.firstNamesTaken) {
            const Paths order = StagedCopyOrder(dir);
            ASSERT_LT(std::find(order.begin(), order.end(), L"a.txt") - order.begin(), 4);
        }
        const LogWatch log;
        EXPECT_TRUE(Exchange(dir));
        EXPECT_EQ(log.NewLines(), kStarted);
        for (const auto& file : row.files) {
            if (file.first.rfind(L"reupdate\\", 0) != 0) continue;
            EXPECT_EQ(ReadBytes(dir + L"\\" + file.first.substr(9)), file.second) << ToUtf8(file.first);
        }
        EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
    }
}

// The product runs while its update is staged: one of its programs (or its
// uninstallers) may make or remove a file that the update replaces or adds
// before the switch. The switch goes by the product as it is once it is down,
// and a rollback keeps a file made in the meantime.
TEST(DoCopyAndDelFile, TheSwitchGoesByTheProductAsItIsOnceItIsDown) {
    enum class Change { Made, Removed, MadeThenRolledBack };
    for (const Change change : {Change::Made, Change::Removed, Change::MadeThenRolledBack}) {
        const bool rollback = change == Change::MadeThenRolledBack;
        const std::wstring dir = MakeRollbackProduct(L"exchange-changed" + std::to_wstring(static_cast<int>(change)));
        SCOPED_TRACE(static_cast<int>(change));
        const ToolPaths paths = PathsFor(dir);
        Tree before = ProductTree(dir);
        UpdateExchange exchange(paths, FlushVolumeOf, [](DWORD) {});
        ASSERT_TRUE(exchange.Stage());
        if (change == Change::Removed) {
            ASSERT_TRUE(DeleteFileW((dir + L"\\Sub\\c.txt").c_str()));
        } else {
            WriteText(dir + L"\\Top.txt", "the product's own top");
            before.files[L"Top.txt"] = "the product's own top";
        }
        {
            const FileHandle held = rollback ? FailCopyOf(dir, L"Main.dll") : FileHandle();
            EXPECT_EQ(exchange.Switch(), !rollback);
            exchange.Finish();
        }
        const Tree after = ProductTree(dir);
        EXPECT_EQ(std::count_if(after.files.begin(), after.files.end(),
                                [](const auto& file) { return file.first.find(L"zelunst-") != std::wstring::npos; }),
                  0);
        if (rollback) {
            EXPECT_EQ(after, before);
            continue;
        }
        EXPECT_EQ(ReadBytes(dir + L"\\Top.txt"), "top");
        EXPECT_EQ(ReadBytes(dir + L"\\Sub\\c.txt"), "new c");
        EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
    }
}
