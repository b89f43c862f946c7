// A workflow, or the run around it, cut short by the standard library's
// exceptions (memory exhausted, a list or path grown too long): the run ends
// as a failure with its exit code, and the run log keeps only whole lines.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "launcher/Launcher.h"
#include "log/ReportLines.h"
#include "log/VLogger.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

// Starts a line in the process's run log and leaves it unfinished.
void StartHalfLine() { runLog << L"half " << L"line"; }

int ThrowsBadAlloc(CUnstallContext&) {
    StartHalfLine();
    throw std::bad_alloc();
}

int ThrowsLengthError(CUnstallContext&) {
    StartHalfLine();
    runLog << NoTime;
    throw std::length_error("path");
}

int SucceedsWithOne(CUnstallContext&) { return 1; }

// The run log of this test program; each line after a cut-short run must be
// whole, and the next line must start with its own stamp.
void ExpectOnlyWholeLinesEndingWith(const char* lastLine) {
    LogLine(FromUtf8(lastLine).c_str());
    const std::string bytes = ReadBytes(RunLogPath(TestProgramFolder()));
    EXPECT_EQ(bytes.find("half"), std::string::npos);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    const std::vector<std::string> marked = MarkedLogLines(TestProgramFolder());
    ASSERT_FALSE(marked.empty());
    EXPECT_EQ(marked.back(), std::string("<P>") + lastLine);
}

}  // namespace

TEST(RunGuard, WorkflowCutShortFailsWithItsOperationsFailureCode) {
    struct Row {
        Operation operation;
        int exitCode;
    };
    const Row rows[] = {{Operation::RemoveProduct, -1}, {Operation::UnInstall, -1}, {Operation::Install, -1},
                        {Operation::SmoothUpdate, 0},   {Operation::ShowUsage, -1}};
    for (const Row& row : rows) {
        for (const Workflow workflow : {ThrowsBadAlloc, ThrowsLengthError}) {
            SCOPED_TRACE(static_cast<int>(row.operation));
            CUnstallContext context;
            EXPECT_EQ(RunOperation(context, row.operation, workflow), row.exitCode);
            ExpectOnlyWholeLinesEndingWith("after a workflow was cut short");
        }
    }
}

TEST(RunGuard, WorkflowThatEndsNormallyGivesItsOwnExitCode) {
    CUnstallContext context;
    EXPECT_EQ(RunOperation(context, Operation::SmoothUpdate, SucceedsWithOne), 1);
    EXPECT_EQ(RunOperation(context, Operation::Install, SucceedsWithOne), 0);
    EXPECT_EQ(RunOperation(context, Operation::Unknown, nullptr), -1);
    EXPECT_EQ(WorkflowFor(Operation::Unknown), nullptr);
    for (const Operation operation : {Operation::RemoveProduct, Operation::UnInstall, Operation::Install,
                                      Operation::SmoothUpdate, Operation::ShowUsage}) {
        EXPECT_NE(WorkflowFor(operation), nullptr) << static_cast<int>(operation);
    }
}

TEST(RunGuard, RunCutShortOutsideAWorkflowEndsWithMinusOne) {
    for (const Workflow run : {ThrowsBadAlloc, ThrowsLengthError}) {
        EXPECT_EQ(RunGuarded(run), -1);
        EXPECT_FALSE(consoleAttached);
        ExpectOnlyWholeLinesEndingWith("after the run was cut short");
    }
    EXPECT_EQ(RunGuarded(SucceedsWithOne), 1);
}

// Built without the heap, in room of their own: a text past it is cut.
TEST(RunGuard, ReportLinesNameWhatFailedWhere) {
    const std::wstring longName(2 * FixedText::kRoom, L'x');
    const std::wstring cut = (L"Unhandled exception 0xC0000005 at " + longName).substr(0, FixedText::kRoom);
    const struct {
        FixedText line;
        const wchar_t* expected;
    } rows[] = {
        {UnhandledExceptionLine(0xC0000005, L"zeldecs.dll", 0x162B),
         L"Unhandled exception 0xC0000005 at zeldecs.dll+0x162B"},
        {UnhandledExceptionLine(0xC00000FD, nullptr, 0x1234ABC), L"Unhandled exception 0xC00000FD at ?+0x1234ABC"},
        {EngineHangLine(L"its attach code", 4294967295),
         L"The engine library has not returned from its attach code within 4294967295 s"},
        {CallingThreadEndedLine(L"Install", 7),
         L"The thread that called the engine library ended inside Install, with exit status 0x00000007"},
        {UnhandledExceptionLine(0xC0000005, longName.c_str(), 0), cut.c_str()},
    };
    for (const auto& row : rows) EXPECT_STREQ(row.line.Text(), row.expected);
}
