// The whole exe, started as a console user would start it.
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

const char kUsage[] =
    "\r\n*******************USE AGE*******************\r\n"
    "syntax:\r\n"
    "\\zelunst [option] param\r\n"
    "option:\r\n"
    "\t-install    install defend engine\r\n"
    "example:\r\n"
    "\tzelunst -install \r\n"
    "\t-uninstall  uninstall defend engine\r\n"
    "example:\r\n"
    "\tzelunst -uninstall \r\n"
    "\t-?  zelunst help msg\r\n"
    "example:\r\n"
    "\tzelunst -? \r\n";

}  // namespace

TEST(Dispatch, UsageIsPrintedToTheConsoleAndExitsZero) {
    const std::wstring dir = FreshDir(L"usage");
    CopyFromBin(L"zelunst.exe", dir + L"\\zelunst.exe");
    const ProcessResult result = RunCommand(L"\"" + dir + L"\\zelunst.exe\" -?");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, kUsage);
    EXPECT_EQ(LogLines(dir), (std::vector<std::string>{"Now, RunHandle"}));
}
