// The exchange's own passes on the real file system of the test's Wine
// prefix: a failed copy put back from its backup.
#include <gtest/gtest.h>

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
    {
        const FileHandle busy = Hold(target + L"\\new\\deep\\c.txt", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(busy.Valid());
        EXPECT_EQ(_UndoCopyFileList(one, backup, added), E_FAIL);
    }
    EXPECT_TRUE(FileExists(target + L"\\new\\deep\\c.txt"));
}
