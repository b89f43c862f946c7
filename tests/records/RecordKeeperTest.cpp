// The record keeper's command line, a hang report that finds the call already
// returned, and the last resort. This program is its own keeper, as the tool
// is (support/TestMain.cpp).
#include <gtest/gtest.h>

#include "base/Handles.h"
#include "engine/EngineWatchdog.h"
#include "records/InsideReport.h"
#include "records/KeeperSignals.h"
#include "records/LastChance.h"
#include "records/RecordKeeper.h"
#include "records/ReportClaim.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

// A watch at its limit on `thread`, which is out of the library, without a keeper.
struct Watch {
    HANDLE thread;
    DumpWriter* writer;
    bool reported;
};

DWORD WINAPI LookAtTheHangFromInside(void* parameter) {
    Watch& watch = *static_cast<Watch*>(parameter);
    watch.reported = ReportHangFromInside(watch.thread, GetThreadId(watch.thread), 3, *watch.writer, 0);
    return 0;
}

// The lines a death test's child added to this program's log after the
// first `linesBefore`, with their process marks (the program holds the log
// open, so the child's lines are a second writer's).
std::vector<std::string> LinesAddedAfter(size_t linesBefore) {
    std::vector<std::string> log = LogLines(TestProgramFolder());
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(linesBefore));
    for (std::string& line : log) line = MarkProcessIds(line);
    return log;
}

}  // namespace

TEST(RecordKeeper, CommandLineCarriesTheHandleAndTheAddressAndNothingElseIsAKeepers) {
    const KeeperArguments given{reinterpret_cast<HANDLE>(0x1C4), reinterpret_cast<const ReportHandOver*>(0x4A7F20)};
    EXPECT_EQ(KeeperCommandLine(L"C:\\Program Files\\Rux\\zelunst.exe", given),
              L"\"C:\\Program Files\\Rux\\zelunst.exe\" -recordkeeper 1C4 4A7F20");
    const wchar_t* ok[] = {L"zelunst.exe", L"-recordkeeper", L"1C4", L"4A7F20"};
    const std::optional<KeeperArguments> parsed = KeeperArgumentsFrom(4, ok);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->run, given.run);
    EXPECT_EQ(parsed->handOver, given.handOver);
    const std::vector<std::vector<const wchar_t*>> refused{
        {L"zelunst.exe", L"-recordkeeper", L"1C4"},
        {L"zelunst.exe", L"-recordkeeper", L"1C4", L"4A7F20", L"extra"},
        {L"zelunst.exe", L"-RecordKeeper", L"1C4", L"4A7F20"},
        {L"zelunst.exe", L"-recordkeeper", L"1C4", L""},
        {L"zelunst.exe", L"-recordkeeper", L"-1C4", L"4A7F20"},
        {L"zelunst.exe", L"-recordkeeper", L"1C4", L"4A7F20G"},
        {L"zelunst.exe", L"-recordkeeper", L"1C4", L"100000000"},
    };
    for (const auto& argv : refused) {
        EXPECT_FALSE(KeeperArgumentsFrom(static_cast<int>(argv.size()), argv.data()).has_value())
            << ToUtf8(argv.back());
    }
}

// The watch's limit passed just as the last call returned: the thread is
// stopped, found out of the library and let go, by the keeper or, without one,
// by the run itself. A keeper that reported instead would keep this thread
// stopped once it has taken the look, and end this program.
TEST(RecordKeeper, CallThatReturnedByTheLimitIsNoHang) {
    for (const bool withKeeper : {true, false}) {
        SCOPED_TRACE(withKeeper ? "with a keeper" : "without one");
        const size_t linesBefore = LogLines(TestProgramFolder()).size();
        RecordKeeper keeper;
        if (withKeeper) {
            ASSERT_EQ(keeper.Start(), static_cast<DWORD>(ERROR_SUCCESS));
        }
        NoteEngineCall(EngineCall::None);
        ASSERT_TRUE(ClaimForHangLook());
        if (withKeeper) {
            EXPECT_EQ(AskKeeperAboutHang(3), KeeperAnswer::Taken);
        } else {
            KernelHandle self;
            ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), self.Put(),
                                        THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, 0));
            DumpWriter writer;
            Watch watch{self.Get(), &writer, true};
            const KernelHandle watcher(CreateThread(nullptr, 0, LookAtTheHangFromInside, &watch, 0, nullptr));
            ASSERT_TRUE(watcher.Valid());
            EXPECT_EQ(WaitForSingleObject(watcher.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
            EXPECT_FALSE(watch.reported);
        }
        ReleaseHangLook();
        keeper.Stop();
        EXPECT_EQ(LogLines(TestProgramFolder()).size(), linesBefore);
    }
}

// A run whose report does not end it (here one claimed and never made) is
// ended by its last resort 40 s after its limit: the hang line, its own line,
// and the last-chance exit code.
TEST(LastResortDeathTest, EndsARunWhoseReportDoesNotEndIt) {
    const size_t linesBefore = LogLines(TestProgramFolder()).size();
    EXPECT_EXIT(
        {
            SetLastChanceExitCode(5);
            ClaimReport();
            EngineWatchdog watchdog;
            watchdog.Start(1);
            watchdog.Enter(EngineCall::Install);
            Sleep(INFINITE);
        },
        testing::ExitedWithCode(5), "");
    EXPECT_EQ(LinesAddedAfter(linesBefore),
              (std::vector<std::string>{
                  "process <pid>: The engine library has not returned from Install within 1 s",
                  "process <pid>: The report did not end within 40 s of the limit; the run is ended"}));
}

// The last resort stays once the library's calls are over, and keeps its
// bounds without a limit: a run that has not ended 50 s after the last call
// is ended, and so is one whose failure's report has not ended it 45 s after
// the failure was announced. Each with its line and the last-chance exit code.
TEST(LastResortAfterTheCallsDeathTest, EndsARunThatDoesNotEndAfterTheLastCall) {
    const size_t linesBefore = LogLines(TestProgramFolder()).size();
    EXPECT_EXIT(
        {
            SetLastChanceExitCode(6);
            EngineWatchdog watchdog;
            watchdog.Start(0);
            watchdog.Enter(EngineCall::Install);
            watchdog.Stop();
            Sleep(INFINITE);
        },
        testing::ExitedWithCode(6), "");
    EXPECT_EQ(LinesAddedAfter(linesBefore),
              std::vector<std::string>{
                  "process <pid>: The run did not end within 50 s of the engine library's last call; it is ended"});
}

TEST(LastResortWithoutALimitDeathTest, EndsARunWhoseFailureIsNotReported) {
    const size_t linesBefore = LogLines(TestProgramFolder()).size();
    EXPECT_EXIT(
        {
            SetLastChanceExitCode(7);
            EngineWatchdog watchdog;
            watchdog.Start(0);
            watchdog.Enter(EngineCall::Install);
            AnnounceFailure();
            Sleep(INFINITE);
        },
        testing::ExitedWithCode(7), "");
    EXPECT_EQ(LinesAddedAfter(linesBefore),
              std::vector<std::string>{
                  "process <pid>: The report of a failure did not end within 40 s; the run is ended"});
}
