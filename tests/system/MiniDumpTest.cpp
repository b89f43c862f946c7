// The dump's file is marked for deletion from its creation until the dump is
// whole.
#include <gtest/gtest.h>

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
    }
}
