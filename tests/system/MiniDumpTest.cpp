// The dump's file is marked for deletion from its creation until the dump is
// whole.
#include <gtest/gtest.h>

#include "base/Handles.h"
#include "system/MiniDump.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

TEST(MiniDump, DumpGivenUpOnLeavesNoFileAndAWholeOneStays) {
    const std::wstring dir = FreshDir(L"dumps");
    for (const bool givenUp : {true, false}) {
        SCOPED_TRACE(givenUp ? "given up on" : "whole");
        const std::wstring path = dir + (givenUp ? L"\\given-up.dmp" : L"\\whole.dmp");
        WriteText(path, "an older dump");
        {
            DumpWriter writer;
            ASSERT_TRUE(writer.Start(10000));
            EXPECT_EQ(writer.Write(GetCurrentProcess(), path.c_str(), nullptr, L"", givenUp ? 0 : 30000),
                      givenUp ? HRESULT_FROM_WIN32(ERROR_TIMEOUT) : S_OK);
        }  // the writer ends, after the dump it was given up on
        EXPECT_EQ(FileExists(path), !givenUp);
        EXPECT_EQ(ReadBytes(path).substr(0, 4), givenUp ? "" : "MDMP");
        EXPECT_FALSE(FileExists(path + L".partial"));
    }
}

// A dump that fails (its process cannot be read) leaves neither its name nor
// its partial file.
TEST(MiniDump, DumpThatFailsLeavesNoFile) {
    const std::wstring path = FreshDir(L"dumps") + L"\\failed.dmp";
    WriteText(path, "an older dump");
    const KernelHandle unreadable(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
    ASSERT_TRUE(unreadable.Valid());
    DumpWriter writer;
    ASSERT_TRUE(writer.Start(10000));
    EXPECT_NE(writer.Write(unreadable.Get(), path.c_str(), nullptr, L"", 30000), S_OK);
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(FileExists(path + L".partial"));
}

// While the dump is written, its name is not there yet: a reader never finds
// a dump that is not whole under it. One given up on at once goes on being
// written for the time that takes, under the partial name alone.
TEST(MiniDump, DumpIsWrittenUnderThePartialNameUntilWhole) {
    const std::wstring path = FreshDir(L"dumps") + L"\\slow.dmp";
    DumpWriter writer;
    ASSERT_TRUE(writer.Start(10000));
    EXPECT_EQ(writer.Write(GetCurrentProcess(), path.c_str(), nullptr, L"", 0), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    bool partialSeen = false;
    for (int polls = 0; polls < 200 && !partialSeen; ++polls) {
        EXPECT_FALSE(FileExists(path));
        partialSeen = FileExists(path + L".partial");
        if (!partialSeen) Sleep(5);
    }
    EXPECT_TRUE(partialSeen);
}
