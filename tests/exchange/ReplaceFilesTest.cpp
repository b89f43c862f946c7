// The exchange's own passes on the real file system of the test's Wine
// prefix: a failed copy put back from its backup.
#include <gtest/gtest.h>

#include <optional>

#include "exchange/ExchangeJournal.h"
#include "exchange/ReplaceFiles.h"
#include "filetree/FileTree.h"
#include "tests/filetree/TreeTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;
using namespace treetest;

TEST(UndoCopyFileList, PutsBackEveryChangeItCanAndReportsTheOthers) {
    const std::wstring root = FreshDir(L"undo");
    const std::wstring source = root + L"\\From";
    const std::wstring target = root + L"\\To";
    const std::wstring backup = root + L"\\Backup";
    const Paths entries = {L"a.txt", L"b.txt", L"new\\deep\\c.txt", L"d.txt", L"e.txt"};
    for (const std::wstring& entry : entries) WriteText(source + L"\\" + entry, "new " + ToUtf8(entry));
    for (const wchar_t* old : {L"a.txt", L"b.txt", L"d.txt", L"e.txt"}) {
        WriteText(target + L"\\" + old, "old " + ToUtf8(old));
        WriteText(backup + L"\\" + old, "old " + ToUtf8(old));
    }
    CreateDirectoryChain(target + L"\\Empty");
    const Files before = Snapshot(target);
    const FileList list = ListOf(entries);

    CopyRecord record;
    {
        const FileHandle busy = Hold(target + L"\\d.txt", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(busy.Valid());
        ASSERT_EQ(_CopyFileList(list, target, source, &record), E_FAIL);
    }
    ASSERT_EQ(record.copied, 3u);
    AssignTemporaryNames(record);
    // A replaced file that cannot be written now stays new; all else goes back.
    {
        const FileHandle busy = Hold(target + L"\\b.txt", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(busy.Valid());
        EXPECT_EQ(_UndoCopyFileList(list, backup, record), E_FAIL);
    }
    Files expected = before;
    expected[L"b.txt"] = "new b.txt";
    EXPECT_EQ(Snapshot(target), expected);
    EXPECT_FALSE(DirExists(target + L"\\new"));
    EXPECT_TRUE(DirExists(target + L"\\Empty"));

    // Once it can be written, undoing again puts it back too.
    EXPECT_EQ(_UndoCopyFileList(list, backup, record), S_OK);
    EXPECT_EQ(Snapshot(target), before);

    // An added file that cannot be removed is reported; the folder holding it stays.
    const FileList one = ListOf({L"new\\deep\\c.txt"});
    CopyRecord added;
    ASSERT_EQ(_CopyFileList(one, target, source, &added), S_OK);
    AssignTemporaryNames(added);
    {
        const FileHandle busy = Hold(target + L"\\new\\deep\\c.txt", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(busy.Valid());
        EXPECT_EQ(_UndoCopyFileList(one, backup, added), E_FAIL);
    }
    EXPECT_TRUE(FileExists(target + L"\\new\\deep\\c.txt"));
}

TEST(ExchangeJournal, KeepsEachTargetsTemporaryNameAndReadsAnEarlierToolsJournal) {
    CopyRecord plan;
    plan.targets.push_back({L"C:\\P\\Main.dll", true, FILE_ATTRIBUTE_READONLY, L"C:\\P\\zelunst-0.new"});
    plan.targets.push_back({L"C:\\P\\data\\new.dat", false, INVALID_FILE_ATTRIBUTES, L"C:\\P\\data\\zelunst-1-2.new"});
    plan.folders.push_back(L"C:\\P\\data");
    const std::optional<JournaledCopy> read = ParseJournal(FormatJournal(plan, L"C:\\P"), L"C:\\P");
    ASSERT_TRUE(read.has_value());
    ASSERT_EQ(read->plan.targets.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(read->plan.targets[i].path, plan.targets[i].path);
        EXPECT_EQ(read->plan.targets[i].existed, plan.targets[i].existed);
        EXPECT_EQ(read->plan.targets[i].temporary, plan.targets[i].temporary);
    }
    EXPECT_EQ(read->plan.folders, plan.folders);
    EXPECT_EQ(Entries(read->backupNames), (Paths{L"main.dll", L"data\\new.dat"}));
    // The tool before free temporary names appended one to the target's.
    const std::optional<JournaledCopy> earlier =
        ParseJournal(L"\xFEFFzelunst update journal\r\nreplace Main.dll\r\nend 1\r\n", L"C:\\P");
    ASSERT_TRUE(earlier.has_value());
    EXPECT_EQ(earlier->plan.targets[0].temporary, L"C:\\P\\Main.dll.zelunst-new");
    // A temporary name is a name in the target's folder, nothing else.
    for (const wchar_t* name : {L"..\\x.new", L"sub\\x.new", L"", L"a:b"}) {
        EXPECT_FALSE(ParseJournal(L"zelunst update journal\r\nadd a.txt\t" + std::wstring(name) + L"\r\nend 1\r\n", L"C:\\P"))
            << ToUtf8(name);
    }
}
