// Listing, relative paths, copying, deleting and creating folder trees on the
// real file system of the test's Wine prefix.
#include <gtest/gtest.h>

#include <algorithm>

#include "filetree/FileTree.h"
#include "tests/filetree/TreeTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;
using namespace treetest;

namespace {

Paths Sorted(Paths entries) {
    std::sort(entries.begin(), entries.end());
    return entries;
}

// A folder chain of about length units below root, in 20-unit components.
std::wstring DeepPath(const std::wstring& root, size_t length) {
    std::wstring path = root;
    for (int i = 0; path.size() < length; ++i) path += L"\\level" + std::to_wstring(100 + i) + L"_abcdefghijk";
    return path;
}

}  // namespace

TEST(AsciiLowercase, LowersOnlyTheLettersAToZ) {
    std::wstring text = L"AZaz@[`{ \u00C4\u00D6\u0391\u0416\xD835\xDC00 C:\\App";
    AsciiLowercase(text);
    EXPECT_EQ(text, L"azaz@[`{ \u00C4\u00D6\u0391\u0416\xD835\xDC00 c:\\app");
}

TEST(EnumFiles, ListsFilesOnlyDepthFirstLowercasedAndAppendsToTheList) {
    const std::wstring root = FreshDir(L"enum") + L"\\App";
    for (const wchar_t* file :
         {L"Skin\\Main.BMP", L"Readme.TXT", L"Deep\\Er\\Than.Dll", L"Deep\\Flat.dll", L"Deep\\Er\\Than2.dll",
          L"Deep\\Zz\\Last.dll", L"\u00DCber\\\u00C4rger\u0391.TXT", L"Hidden.SYS"}) {
        WriteText(root + L"\\" + file, "x");
    }
    CreateDirectoryChain(root + L"\\Empty\\Too");
    SetFileAttributesW((root + L"\\Hidden.SYS").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);

    FileList list;
    list.Append(L"Kept");
    ASSERT_EQ(_EnumFiles(root, 1, list), S_OK);
    Paths entries = Entries(list);
    ASSERT_EQ(entries.size(), 9u);
    EXPECT_EQ(entries.front(), L"Kept");
    // Depth first: the four files below one folder are listed together.
    const std::wstring deep = L"c:\\zt\\enum\\app\\deep\\";
    const auto isDeep = [&deep](const std::wstring& entry) { return entry.rfind(deep, 0) == 0; };
    const auto firstDeep = std::find_if(entries.begin(), entries.end(), isDeep);
    ASSERT_LE(firstDeep + 4, entries.end());
    EXPECT_TRUE(std::all_of(firstDeep, firstDeep + 4, isDeep));
    // Only A-Z are lowered; other letters stay as they are.
    entries.erase(entries.begin());
    const std::wstring app = L"c:\\zt\\enum\\app\\";
    EXPECT_EQ(Sorted(entries), Sorted({deep + L"er\\than.dll", deep + L"flat.dll", deep + L"er\\than2.dll",
                                       deep + L"zz\\last.dll", app + L"\u00DCber\\\u00C4rger\u0391.txt",
                                       app + L"hidden.sys", app + L"readme.txt", app + L"skin\\main.bmp"}));

    FileList flat;
    ASSERT_EQ(_EnumFiles(root, 0, flat), S_OK);
    EXPECT_EQ(Sorted(Entries(flat)), (Paths{app + L"hidden.sys", app + L"readme.txt"}));
}

TEST(EnumFiles, FailsOnAMissingFolderAndLeavesTheListAsItWas) {
    FileList list;
    list.Append(L"Before");
    EXPECT_EQ(_EnumFiles(L"C:\\zt\\no-such-folder", 1, list), E_FAIL);
    EXPECT_EQ(Entries(list), (Paths{L"Before"}));
}

TEST(EnumFiles, NeverEntersALinkedFolder) {
    const std::wstring root = FreshDir(L"enum-links");
    WriteText(root + L"\\Outside\\Secret.txt", "outside");
    WriteText(root + L"\\App\\Own.txt", "own");
    ASSERT_TRUE(MakeUnixLink(root + L"\\Outside", root + L"\\App\\Shared"));
    // A link back up the tree would make the walk endless.
    ASSERT_TRUE(MakeUnixLink(root + L"\\App", root + L"\\App\\Loop"));
    ASSERT_NE(GetFileAttributesW((root + L"\\App\\Loop").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    FileList list;
    ASSERT_EQ(_EnumFiles(root + L"\\App", 1, list), S_OK);
    EXPECT_EQ(Entries(list), (Paths{L"c:\\zt\\enum-links\\app\\own.txt"}));
}

TEST(MakeRelative, CutsTheBaseAndOneSeparatorAndStopsAtAnEntryNotLongerThanTheBase) {
    const struct {
        Paths entries;
        HRESULT result;
        Paths relative;
    } cases[] = {
        {{L"c:\\app\\sub\\a.dll", L"c:\\app\\b.exe"}, S_OK, {L"sub\\a.dll", L"b.exe"}},
        {{L"d:\\xyz\\file.txt"}, S_OK, {L"file.txt"}},  // only the length counts, not the text
        {{L"c:\\app\\one", L"c:\\app", L"c:\\app\\two"}, E_FAIL, {L"one", L"c:\\app", L"c:\\app\\two"}},
        {{L"c:\\ap"}, E_FAIL, {L"c:\\ap"}},
    };
    for (const auto& c : cases) {
        FileList list = ListOf(c.entries);
        EXPECT_EQ(_MakeRelative(L"c:\\app", list), c.result) << ToUtf8(c.entries[0]);
        EXPECT_EQ(Entries(list), c.relative);
    }
}

TEST(CopyFileList, ReplacesCreatesFolderChainsAndStopsAtAFailure) {
    const std::wstring root = FreshDir(L"copy");
    const std::wstring source = root + L"\\From";
    const std::wstring target = root + L"\\To";
    WriteText(source + L"\\one\\a.txt", "new a");
    WriteText(source + L"\\two\\b.txt", "new b");
    WriteText(source + L"\\one\\c.txt", "new c");
    WriteText(source + L"\\Data\\Sub\\New.DAT", "new dat");
    WriteText(source + L"\\top.txt", "new top");
    WriteText(target + L"\\one\\a.txt", "old a");
    SetFileAttributesW((target + L"\\one\\a.txt").c_str(), FILE_ATTRIBUTE_ARCHIVE);

    // Folders revisited after another one, and an entry at the top.
    ASSERT_EQ(_CopyFileList(ListOf({L"one\\a.txt", L"two\\b.txt", L"one\\c.txt", L"Data\\Sub\\New.DAT", L"top.txt"}),
                            target, source),
              S_OK);
    EXPECT_EQ(Snapshot(target), (Files{{L"one\\a.txt", "new a"},
                                       {L"two\\b.txt", "new b"},
                                       {L"one\\c.txt", "new c"},
                                       {L"Data\\Sub\\New.DAT", "new dat"},
                                       {L"top.txt", "new top"}}));
    // Created folders are named as the entry writes them.
    EXPECT_EQ(StoredName(target + L"\\Data"), L"Data");
    EXPECT_EQ(StoredName(target + L"\\Data\\Sub"), L"Sub");

    // Into a destination that does not exist yet, stopping at the missing file.
    const std::wstring fresh = root + L"\\Fresh\\Nested";
    EXPECT_EQ(_CopyFileList(ListOf({L"one\\a.txt", L"missing.txt", L"two\\b.txt"}), fresh, source), E_FAIL);
    EXPECT_EQ(Snapshot(fresh), (Files{{L"one\\a.txt", "new a"}}));

    EXPECT_EQ(_CopyFileList(FileList(), root + L"\\Untouched", source), S_OK);
    EXPECT_FALSE(DirExists(root + L"\\Untouched"));

    // A target that cannot be written fails the copy.
    const FileHandle busy = Hold(target + L"\\two\\b.txt", GENERIC_READ, 0);
    ASSERT_TRUE(busy.Valid());
    EXPECT_EQ(_CopyFileList(ListOf({L"top.txt", L"two\\b.txt"}), target, source), E_FAIL);
}

TEST(DeleteTree, DeletesFilesReadOnlyIncludedAndFoldersOnlyWhenAsked) {
    _DeleteTree(L"C:\\zt\\no-such-tree", 1);
    _DeleteTree(L"C:\\zt\\no-such-tree", 0);
    EXPECT_FALSE(DirExists(L"C:\\zt\\no-such-tree"));

    const std::wstring root = FreshDir(L"delete");
    const auto fill = [&](const std::wstring& tree) {
        WriteText(tree + L"\\a.txt", "a");
        WriteText(tree + L"\\Sub\\Ro.txt", "ro");
        WriteText(tree + L"\\Sub\\Deeper\\Hidden.txt", "h");
        CreateDirectoryChain(tree + L"\\Empty");
        SetFileAttributesW((tree + L"\\Sub\\Ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        SetFileAttributesW((tree + L"\\Sub\\Deeper\\Hidden.txt").c_str(),
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);
    };

    const std::wstring keepFolders = root + L"\\KeepFolders";
    fill(keepFolders);
    _DeleteTree(keepFolders, 0);
    EXPECT_TRUE(Snapshot(keepFolders).empty());
    EXPECT_TRUE(DirExists(keepFolders + L"\\Sub\\Deeper"));
    EXPECT_TRUE(DirExists(keepFolders + L"\\Empty"));

    const std::wstring removeAll = root + L"\\RemoveAll";
    fill(removeAll);
    _DeleteTree(removeAll, 1);
    EXPECT_FALSE(DirExists(removeAll));
    EXPECT_TRUE(DirExists(root));

    // A file that cannot be deleted keeps its folders, and only those.
    const std::wstring busyTree = root + L"\\Busy";
    fill(busyTree);
    WriteText(busyTree + L"\\Sub\\Open.txt", "open");
    {
        const FileHandle busy = Hold(busyTree + L"\\Sub\\Open.txt", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(busy.Valid());
        _DeleteTree(busyTree, 1);
    }
    EXPECT_EQ(Snapshot(busyTree), (Files{{L"Sub\\Open.txt", "open"}}));
    EXPECT_FALSE(DirExists(busyTree + L"\\Sub\\Deeper"));
    EXPECT_FALSE(DirExists(busyTree + L"\\Empty"));
}

TEST(DeleteTree, NeverDeletesThroughALink) {
    const std::wstring root = FreshDir(L"delete-links");
    WriteText(root + L"\\Outside\\Keep.txt", "keep");
    WriteText(root + L"\\Outside\\Sub\\Keep2.txt", "keep2");
    WriteText(root + L"\\Tree\\Own.txt", "own");
    ASSERT_TRUE(MakeUnixLink(root + L"\\Outside", root + L"\\Tree\\Shared"));
    ASSERT_TRUE(MakeUnixLink(root + L"\\Outside", root + L"\\TopLink"));

    _DeleteTree(root + L"\\Tree", 1);
    _DeleteTree(root + L"\\Tree", 0);
    _DeleteTree(root + L"\\TopLink", 1);
    _DeleteTree(root + L"\\TopLink", 0);

    EXPECT_FALSE(FileExists(root + L"\\Tree\\Own.txt"));
    EXPECT_EQ(Snapshot(root + L"\\Outside"), (Files{{L"Keep.txt", "keep"}, {L"Sub\\Keep2.txt", "keep2"}}));
}

TEST(CreateDirectoryTree, CreatesMissingAncestorsAndAcceptsAnExistingFolder) {
    const std::wstring root = FreshDir(L"mkdir");
    CreateDirectoryChain(root + L"\\a");
    EXPECT_TRUE(_CreateDirectoryTree((root + L"\\a\\b\\c").c_str(), nullptr));
    EXPECT_TRUE(DirExists(root + L"\\a\\b\\c"));
    EXPECT_TRUE(_CreateDirectoryTree((root + L"\\a\\b\\c").c_str(), nullptr));
    EXPECT_TRUE(_CreateDirectoryTree((root + L"\\a").c_str(), nullptr));
    EXPECT_FALSE(_CreateDirectoryTree(nullptr, nullptr));

    // A file in the way of the chain.
    WriteText(root + L"\\file", "x");
    EXPECT_FALSE(_CreateDirectoryTree((root + L"\\file\\sub").c_str(), nullptr));

    EXPECT_TRUE(_CreateParentDirs((root + L"\\p\\q\\file.txt").c_str()));
    EXPECT_TRUE(DirExists(root + L"\\p\\q"));
    EXPECT_FALSE(FileExists(root + L"\\p\\q\\file.txt"));
    EXPECT_FALSE(_CreateParentDirs(L"bare-name.txt"));
    EXPECT_FALSE(_CreateParentDirs(nullptr));
    EXPECT_FALSE(FileExists(L"bare-name.txt"));
    EXPECT_FALSE(DirExists(L"bare-name.txt"));
}

TEST(LongPaths, LongPathFormIsUsedOnlyForLongPaths) {
    EXPECT_EQ(LongPathForm(L"C:\\short\\path"), L"C:\\short\\path");
    const std::wstring deep = DeepPath(L"C:\\deep", 300);
    EXPECT_EQ(LongPathForm(deep), L"\\\\?\\" + deep);
    EXPECT_EQ(LongPathForm(L"\\\\?\\" + deep), L"\\\\?\\" + deep);
    const std::wstring share = DeepPath(L"\\\\server\\share", 300);
    EXPECT_EQ(LongPathForm(share), L"\\\\?\\UNC\\" + share.substr(2));
    // The \\?\ form takes no "..": it is resolved first.
    EXPECT_EQ(LongPathForm(deep + L"\\x\\..\\file.txt"), L"\\\\?\\" + deep + L"\\file.txt");
    const std::wstring atLimit(MAX_PATH - 13, L'a');
    EXPECT_EQ(LongPathForm(atLimit), atLimit);
}

TEST(LongPaths, DeepTreesAreCreatedListedCopiedAndDeletedWhole) {
    const std::wstring root = FreshDir(L"long");
    const std::wstring deep = DeepPath(root + L"\\Src", 400);
    ASSERT_GT(deep.size(), 380u);
    EXPECT_TRUE(_CreateDirectoryTree(deep.c_str(), nullptr));
    EXPECT_TRUE(DirExists(deep));

    const std::wstring deepFile = DeepPath(root + L"\\Src", 330) + L"\\Deep.TXT";
    EXPECT_TRUE(_CreateParentDirs(deepFile.c_str()));
    WriteBytes(deepFile, "deep");
    ASSERT_EQ(ReadBytes(deepFile), "deep");
    // Nothing was made from a path cut at MAX_PATH.
    FileList folders;
    ASSERT_EQ(_EnumFiles(root + L"\\Src", 1, folders), S_OK);
    std::wstring lowered = deepFile;
    AsciiLowercase(lowered);
    EXPECT_EQ(Entries(folders), (Paths{lowered}));

    ASSERT_EQ(_MakeRelative(root + L"\\Src", folders), S_OK);
    ASSERT_EQ(_CopyFileList(folders, root + L"\\Dst", root + L"\\Src"), S_OK);
    EXPECT_EQ(ReadBytes(root + L"\\Dst\\" + folders.First()), "deep");

    _DeleteTree(root + L"\\Src", 1);
    _DeleteTree(root + L"\\Dst", 1);
    EXPECT_FALSE(DirExists(root + L"\\Src"));
    EXPECT_FALSE(DirExists(root + L"\\Dst"));
}

TEST(FileList, KeepsSpellingsWithTheirEntries) {
    FileList list;
    list.Append(L"c:\\a\\one.txt", L"C:\\A\\One.TXT");
    list.Append(L"c:\\a\\two.txt", L"C:\\A\\Two.txt");
    list.Append(L"c:\\a\\one.txt", L"C:\\a\\ONE.txt");
    list.Append(L"plain");
    list.RemoveAll(list.First());
    ASSERT_EQ(list.Size(), 2u);
    EXPECT_EQ(list.Spelling(0), L"C:\\A\\Two.txt");
    EXPECT_EQ(list.Spelling(1), L"plain");

    list.CutFront(0, 5);
    EXPECT_EQ(list.At(0), L"two.txt");
    EXPECT_EQ(list.Spelling(0), L"Two.txt");
    // A text rewritten to another path no longer uses the old spelling; one
    // only lowercased keeps it.
    list.Append(L"Four.TXT", L"FOUR.txt");
    list.KeepIf([](std::wstring& text) {
        if (text == L"two.txt") text = L"three.txt";
        AsciiLowercase(text);
        return true;
    });
    EXPECT_EQ(Entries(list), (Paths{L"three.txt", L"plain", L"four.txt"}));
    EXPECT_EQ(list.Spelling(0), L"three.txt");
    EXPECT_EQ(list.Spelling(1), L"plain");
    EXPECT_EQ(list.Spelling(2), L"FOUR.txt");

    // A spelling of other letters is never used.
    FileList other;
    other.Append(L"c:\\a\\one.txt", L"C:\\A\\Other.txt");
    other.Append(L"c:\\a\\two.txt", L"C:\\A\\TWO.TXT");
    EXPECT_EQ(other.Spelling(0), L"c:\\a\\one.txt");
    EXPECT_EQ(other.Spelling(1), L"C:\\A\\TWO.TXT");
    EXPECT_EQ(Paths(other.begin(), other.end()), (Paths{L"c:\\a\\one.txt", L"c:\\a\\two.txt"}));
}

TEST(CopyFileList, UsesExistingFoldersAndFilesUnderTheirOwnSpelling) {
    const std::wstring root = FreshDir(L"copy-case");
    WriteText(root + L"\\From\\Only\\Product.TXT", "new product");
    WriteText(root + L"\\From\\ONLY\\Added.TXT", "added");
    WriteText(root + L"\\To\\Only\\product.txt", "old product");
    FileList list;
    ASSERT_EQ(_EnumFiles(root + L"\\From", 1, list), S_OK);
    ASSERT_EQ(_MakeRelative(root + L"\\from", list), S_OK);
    ASSERT_EQ(_CopyFileList(list, root + L"\\To", root + L"\\From"), S_OK);
    EXPECT_EQ(Snapshot(root + L"\\To"), (Files{{L"Only\\product.txt", "new product"}, {L"Only\\added.txt", "added"}}));
}

TEST(CopyFileList, RecordsEachTargetAndTheFoldersItCreates) {
    const std::wstring root = FreshDir(L"copy-record");
    const std::wstring source = root + L"\\From";
    const std::wstring target = root + L"\\To";
    for (const wchar_t* name : {L"old.txt", L"Keep\\new.txt", L"Deep\\Er\\new.txt", L"Deep\\Er\\last.txt"}) {
        WriteText(source + L"\\" + name, "new");
    }
    WriteText(target + L"\\Old.txt", "old");
    CreateDirectoryChain(target + L"\\Keep");

    FileList list;
    list.Append(L"old.txt", L"OLD.txt");
    list.Append(L"keep\\new.txt", L"KEEP\\New.txt");
    list.Append(L"deep\\er\\new.txt", L"Deep\\Er\\new.txt");
    CopyRecord record;
    ASSERT_EQ(_CopyFileList(list, target, source, &record), S_OK);
    EXPECT_EQ(record.copied, 3u);
    ASSERT_EQ(record.targets.size(), 3u);
    // An existing file is named by the list's spelling, a new one as the entry writes it.
    EXPECT_EQ(record.targets[0].path, target + L"\\OLD.txt");
    EXPECT_TRUE(record.targets[0].existed);
    EXPECT_EQ(record.targets[1].path, target + L"\\KEEP\\new.txt");
    EXPECT_FALSE(record.targets[1].existed);
    EXPECT_EQ(record.targets[2].path, target + L"\\deep\\er\\new.txt");
    EXPECT_FALSE(record.targets[2].existed);
    EXPECT_EQ(record.folders, (Paths{target + L"\\deep", target + L"\\deep\\er"}));

    // The failing entry is the last target, not counted as copied.
    const FileHandle busy = Hold(target + L"\\Old.txt", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(busy.Valid());
    CopyRecord failed;
    EXPECT_EQ(_CopyFileList(ListOf({L"deep\\er\\last.txt", L"old.txt", L"keep\\new.txt"}), target, source, &failed),
              E_FAIL);
    EXPECT_EQ(failed.copied, 1u);
    ASSERT_EQ(failed.targets.size(), 2u);
    EXPECT_EQ(failed.targets[1].path, target + L"\\old.txt");
    EXPECT_TRUE(failed.targets[1].existed);
    EXPECT_TRUE(failed.folders.empty());
}
