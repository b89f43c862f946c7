// A solution library that crashes (also while it holds the heap's lock),
// overflows its stack, aborts or ends its calling thread inside Install, or
// whose thread crashes while the run dismisses its keeper: the run ends by
// itself with the failure exit code and one log line, and an exception leaves
// a small dump beside the log. The record keeper writes both from outside the
// run; a keeper that cannot start, or is frozen, leaves them to the run. Run
// on an Xvfb desktop, where a crash or runtime box would wait for someone to
// close it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>

#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

constexpr DWORD kExitFailure = 0xFFFFFFFF;
const wchar_t kSolutionDir[] = L"\\subsystem\\zelde";
// The calls up to the fault; a process ended at once detaches nothing.
const std::vector<std::string> kCallsUpToTheFault{
    "DLL_PROCESS_ATTACH",
    "DllGetClassObject {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83} {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B}",
    "Initialize 0", "Install 0"};

// Keeps the run's dump as keptAs (nothing for null) in the build folder, for
// the entries that read it back with the shipped file's symbols; not when the
// table runs a second time beside them (ZEL_KEEP_NO_DUMPS).
void KeepDump(const std::wstring& dir, const wchar_t* keptAs) {
    if (keptAs == nullptr || GetEnvironmentVariableW(L"ZEL_KEEP_NO_DUMPS", nullptr, 0) != 0) return;
    CopyFileW((dir + L"\\ZelUnst.dmp").c_str(), (BinDir() + L"\\..\\" + keptAs).c_str(), FALSE);
}

struct FaultRow {
    const char* fault;
    const char* lastLogLine;  // a regular expression
    size_t dumpBytesBelow;    // 0: no dump is written
    bool dumpBlocked;         // a folder stands where the dump would go
    const wchar_t* library = L"zeldecs.dll";  // installed as the solution library
    const wchar_t* keptAs = nullptr;          // the dump is kept under this name
    bool keeperHeld = false;                  // the keeper never gets ready: the run reports itself
    const char* keeperFate = "";              // what the library does to the keeper first: "freeze", "end"
    std::vector<std::string> callsAfterTheFault = {};
    const char* settings = "";                // more of the library's settings
    const wchar_t* arguments = L"-install";
    bool callsAfterInAnyOrder = false;        // the fault's thread and the calling thread record at once
    std::vector<std::string> callsUpToTheFault = kCallsUpToTheFault;
};

const char kCrashLine[] = "Unhandled exception 0xC0000005 at zeldecs\\.dll\\+0x[0-9A-F]+";
const char kThreadEndedLine[] =
    "The thread that called the engine library ended inside Install, with exit status 0x00000000";

// No heap goes into a dump: a crash's is small, an overflow's holds the full
// stack (2 MB reserved for the tool's thread).
const FaultRow kFaults[] = {
    {"crash", "Unhandled exception 0xC0000005 at zeldecs\\.dll\\+0x[0-9A-F]+", 256 * 1024, false, L"zeldecs.dll",
     L"crash-sample.dmp"},
    // The faulting thread holds the heap's lock, which a report from inside would wait on for good.
    {"crashinheap", "Unhandled exception 0xC0000005 at zeldecs\\.dll\\+0x[0-9A-F]+", 256 * 1024, false},
    {"stackoverflow", "Unhandled exception 0xC00000FD at zeldecs\\.dll\\+0x[0-9A-F]+", 2304 * 1024, false},
    {"abort", "Abnormal termination", 0, false},
    {"crash", "Unhandled exception 0xC0000005 at zeldecs\\.dll\\+0x[0-9A-F]+", 256 * 1024, false, L"zeldecs.dll", nullptr,
     true},
    // A dump that cannot be written keeps neither the line nor the exit from happening.
    {"crash", "Unhandled exception 0xC0000005 at zeldecs\\.dll\\+0x[0-9A-F]+; no dump written", 0, true},
    // The library as a vendor ships it: optimised, stripped, no frame pointers.
    {"crash", "Unhandled exception 0xC0000005 at zeldecs\\.dll\\+0x[0-9A-F]+", 256 * 1024, false,
     L"zeldecs_stripped.dll", L"crash-stripped.dmp"},
    // A keeper that stops answering counts as gone: the run reports itself, its
    // line first; holding the heap, it can touch no file, and the older dump stays.
    {"crash", kCrashLine, 256 * 1024, false, L"zeldecs.dll", nullptr, false, "freeze", {"Keeper frozen"}},
    {"crashinheap", kCrashLine, 0, false, L"zeldecs.dll", nullptr, false, "freeze", {"Keeper frozen"}},
    // A thread of the library crashes while the run waits for its frozen keeper to end.
    {"faultlater", kCrashLine, 256 * 1024, false, L"zeldecs.dll", nullptr, false, "freeze",
     {"Keeper frozen", "Uninitialize", "Release -> 0"}},
    // Ended at once, not at the library's limit, by the keeper or by the run's
    // watch; without a limit too, where the ended thread would be the last and
    // end the process with its own exit code, 0.
    {"exitthread", kThreadEndedLine, 0, false},
    {"exitthread", kThreadEndedLine, 0, false, L"zeldecs.dll", nullptr, true},
    {"exitthread", kThreadEndedLine, 0, false, L"zeldecs.dll", nullptr, false, "", {}, "",
     L"-install EngineCallTimeout=0"},
    // In the detach code as the run frees the library, where Wine's loader would swallow it.
    {"crash", kCrashLine, 256 * 1024, false, L"zeldecs.dll", nullptr, false, "", {}, "FaultIn=DLL_PROCESS_DETACH\r\n",
     L"-install", false,
     {"DLL_PROCESS_ATTACH",
      "DllGetClassObject {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83} {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B}",
      "Initialize 0", "Install 0", "Uninitialize", "Release -> 0", "DLL_PROCESS_DETACH FreeLibrary"}},
    // A pad before the recursion with which Wine ends the overflowed thread
    // inside the run's own report, the report claimed: the watch takes it over.
    {"stackoverflow", "Unhandled exception 0xC00000FD at zeldecs\\.dll\\+0x[0-9A-F]+", 0, false, L"zeldecs.dll", nullptr,
     true, "", {}, "StackPad=2048\r\n"},
};

void ExpectTheFaultEndsTheRun(const FaultRow& row) {
    SCOPED_TRACE(std::string(row.fault) + (row.keeperHeld ? " with its keeper held" : "") + " " + row.keeperFate +
                 " " + ToUtf8(row.arguments));
    if (row.keptAs != nullptr && GetEnvironmentVariableW(L"ZEL_KEEP_NO_DUMPS", nullptr, 0) == 0) {
        DeleteFileW((BinDir() + L"\\..\\" + row.keptAs).c_str());
    }
    const std::wstring dir = FreshDir(FromUtf8(row.fault));
    PlaceTool(dir, row.library);
    WriteText(dir + kSolutionDir + L"\\zeldecs.settings",
              std::string("Fault=") + row.fault + "\r\nKeeperFate=" + row.keeperFate + "\r\n" + row.settings);
    // An older dump is replaced.
    if (row.dumpBlocked) {
        CreateDirectoryW((dir + L"\\ZelUnst.dmp").c_str(), nullptr);
    } else {
        WriteText(dir + L"\\ZelUnst.dmp", "an older dump");
    }

    const ProcessResult result = RunToolTreatingItsKeeper(dir, row.arguments, 60000, {row.keeperHeld, L""});
    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, kExitFailure);
    // The keeper made the report, and ended with 0, where it was there to; it was ended otherwise, by
    // the library (with 1) or by the run.
    const std::string fate = row.keeperFate;
    EXPECT_EQ(result.keeperExitCode,
              fate.rfind("end", 0) == 0 ? 1u : !row.keeperHeld && fate.empty() ? 0u : kExitFailure);
    std::vector<std::string> calls = FileLines(dir + kSolutionDir + L"\\zeldecs.record");
    // A crash records where its faulting instruction lies, as it faults; the line must name that very place.
    std::string site;
    const auto siteLine = std::find_if(calls.begin(), calls.end(),
                                       [](const std::string& line) { return line.rfind("Fault site ", 0) == 0; });
    if (std::string(row.fault).rfind("crash", 0) == 0 && siteLine != calls.end()) {
        site = *siteLine;
        calls.erase(siteLine);
    }
    // The library sees the error mode the tool set: abort() reports to stderr, never in a box.
    std::vector<std::string> expectedCalls = row.callsUpToTheFault;
    expectedCalls.push_back("Fault " + std::string(row.fault) + " with error mode " +
                            std::to_string(_OUT_TO_STDERR));
    expectedCalls.insert(expectedCalls.end(), row.callsAfterTheFault.begin(), row.callsAfterTheFault.end());
    // The calls after the fault come from two threads at once.
    const auto upToTheFault = static_cast<std::ptrdiff_t>(row.callsUpToTheFault.size());
    if (row.callsAfterInAnyOrder && calls.size() > row.callsUpToTheFault.size()) {
        std::sort(calls.begin() + upToTheFault, calls.end());
        std::sort(expectedCalls.begin() + upToTheFault, expectedCalls.end());
    }
    EXPECT_EQ(calls, expectedCalls);
    const std::vector<std::string> log = LogLines(dir);
    ASSERT_EQ(log.size(), row.keeperHeld ? 3u : 2u);
    EXPECT_EQ(log[0], "Now, RunHandle");
    if (row.keeperHeld) {
        EXPECT_EQ(log[1],
                  "The record keeper could not start (error 1460); a crash or a hang is reported from inside the run");
    }
    EXPECT_TRUE(std::regex_match(log.back(), std::regex(row.lastLogLine))) << log.back();
    if (!site.empty()) {
        const size_t at = log.back().find(" at ") + 4;
        EXPECT_EQ(site, "Fault site " + log.back().substr(at, log.back().find(';', at) - at));
    }

    // A dump being written never stays behind.
    EXPECT_FALSE(FileExists(dir + L"\\ZelUnst.dmp.partial"));
    const std::string dump = ReadBytes(dir + L"\\ZelUnst.dmp");
    if (row.dumpBytesBelow == 0) {
        // A keeper's dump writer deletes the older dump before it starts.
        EXPECT_EQ(dump, row.dumpBlocked || fate.find("holding") != std::string::npos ? "" : "an older dump");
        return;
    }
    EXPECT_EQ(dump.substr(0, 4), "MDMP");
    EXPECT_LT(dump.size(), row.dumpBytesBelow);
    // Kept for the entries that read it back with the shipped file's symbols.
    KeepDump(dir, row.keptAs);
}

}  // namespace

TEST(LastChance, FaultInTheSolutionLibraryEndsTheRunWithItsFailureCode) {
    for (const FaultRow& row : kFaults) ExpectTheFaultEndsTheRun(row);
}

// A keeper that is ended, or frozen, while its dump writer holds the crashing
// thread stopped: the run ends the keeper (at once, or once the keeper has
// had the report longer than it may), lets the thread go and reports from
// inside within its budget (without a limit too: the frozen keeper's row),
// and also for a crash on a library thread after Install returned.
TEST(KeeperGone, WhileItHoldsTheCrashingThreadTheRunReportsItself) {
    const char kHeld[] = " holding the faulting thread";
    const FaultRow rows[] = {
        {"crash", kCrashLine, 256 * 1024, false, L"zeldecs.dll", nullptr, false, "endholding",
         {std::string("Keeper ended") + kHeld}},
        // The library thread crashes as Install returns: the run waits for its report as it dismisses the keeper.
        {"faultlater", kCrashLine, 256 * 1024, false, L"zeldecs.dll", nullptr, false, "endholding",
         {"Uninitialize", "Release -> 0", std::string("Keeper ended") + kHeld}, "FaultAfter=0\r\n", L"-install",
         true},
        // Frozen, the keeper is taken for gone once it has had the report its time: the line is
        // written, the dump's time is spent.
        {"crash", kCrashLine, 0, false, L"zeldecs.dll", nullptr, false, "freezeholding",
         {std::string("Keeper frozen") + kHeld}, "", L"-install EngineCallTimeout=0"},
    };
    for (const FaultRow& row : rows) ExpectTheFaultEndsTheRun(row);
}

// A fail-fast reaches no handler of the process: the run still ends by itself,
// with the fail-fast's own code (neither 0 nor 1, so a failure for every
// option), and no dump; its keeper logs how it ended.
TEST(LastChance, FailFastEndsTheRunWithItsOwnCode) {
    const std::wstring dir = FreshDir(L"failfast");
    PlaceTool(dir, L"zeldecs.dll");
    WriteText(dir + kSolutionDir + L"\\zeldecs.settings", "Fault=failfast\r\n");
    const ProcessResult result = RunToolIn(dir, L"-install");
    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN));
    EXPECT_EQ(LogLines(dir), (std::vector<std::string>{
                                 "Now, RunHandle",
                                 "The run ended without finishing, with exit status 0xC0000409 (a fail-fast: the code "
                                 "found its own memory corrupted and ended the process at once)"}));
    EXPECT_FALSE(FileExists(dir + L"\\ZelUnst.dmp"));
}

namespace {

// A library that does not come back from faultIn, hung as `fault`.
struct HangRow {
    const char* fault;
    const char* faultIn;
    const wchar_t* option;
    DWORD limitSeconds;
    KeeperTreatment keeper;
    const char* keeperFate;  // what the library does to the keeper as it hangs
    std::vector<std::string> logTail;
    enum class Dump { None, Kept, Either } dump;
    const wchar_t* keptAs;  // the dump, kept for read-crash.sh
};
constexpr DWORD kLimitSeconds = 3;
const char kInstallHangLine[] = "The engine library has not returned from Install within 3 s";
const char kKeeperNotStartedLine[] =
    "The record keeper could not start (error 1460); a crash or a hang is reported from inside the run";

void ExpectTheHangEndsTheRun(const HangRow& row) {
    SCOPED_TRACE(std::string(row.fault) + " in " + row.faultIn + (row.limitSeconds == 0 ? " without a limit" : "") +
                 (row.keeper.holdAtStart ? " with its keeper held" : "") +
                 (row.keeper.endOnceThisExists.empty() ? "" : " with its keeper ended in its report") + " " +
                 row.keeperFate);
    SetEngineCallTimeoutPolicy(row.limitSeconds);
    const std::wstring dir = FreshDir(L"hang");
    PlaceTool(dir, L"zeldecs.dll");
    WriteText(dir + kSolutionDir + L"\\zeldecs.settings", std::string("Fault=") + row.fault + "\r\nFaultIn=" +
                                                             row.faultIn + "\r\nKeeperFate=" + row.keeperFate +
                                                             "\r\n");
    // The keeper's 10 s to get ready, the limit and the report's budget of 40 s, and a
    // margin; a run without a limit is ended after twice the limit.
    const DWORD timeoutMs = row.limitSeconds == 0 ? 2 * kLimitSeconds * 1000 : 70000;
    KeeperTreatment keeper = row.keeper;
    if (!keeper.endOnceThisExists.empty()) keeper.endOnceThisExists = dir + L"\\" + keeper.endOnceThisExists;
    const ProcessResult result = RunToolTreatingItsKeeper(dir, row.option, timeoutMs, keeper);
    ASSERT_TRUE(result.started);
    const std::vector<std::string> calls = FileLines(dir + kSolutionDir + L"\\zeldecs.record");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), *row.keeperFate ? std::string("Keeper ended")
                                            : "Fault " + std::string(row.fault) + " with error mode " +
                                                  std::to_string(_OUT_TO_STDERR));
    EXPECT_EQ(result.timedOut, row.limitSeconds == 0);
    EXPECT_EQ(result.exitCode, result.timedOut ? 1u : kExitFailure);
    // The report ends the run by itself: the last resort's line would follow it.
    const std::vector<std::string> log = LogLines(dir);
    ASSERT_GE(log.size(), row.logTail.size());
    EXPECT_EQ(std::vector<std::string>(log.end() - static_cast<std::ptrdiff_t>(row.logTail.size()), log.end()),
              row.logTail);
    // A writer ended the very moment it made its file may leave it unmarked;
    // any other dump's partial file is gone with its writer. The keeper's
    // dump is written under the partial name first: the test ended it on that.
    if (row.keeper.endOnceThisExists.empty()) {
        EXPECT_FALSE(FileExists(dir + L"\\ZelUnst.dmp.partial"));
    } else {
        EXPECT_TRUE(result.keeperEndedOnCue);
    }
    if (row.dump != HangRow::Dump::Either) {
        EXPECT_EQ(FileExists(dir + L"\\ZelUnst.dmp"), row.dump == HangRow::Dump::Kept);
    }
    KeepDump(dir, row.keptAs);
}

}  // namespace

// A library that does not come back, idle or busy in the heap, ends the run at
// the limit the policy value sets, with its line and a dump that read-crash.sh
// reads as a hang. A limit of 0 leaves the run waiting until it is ended from
// outside, which its keeper logs. A keeper that cannot start leaves the report
// to the run itself.
TEST(EngineHang, HungCallEndsTheRunAtTheLimit) {
    const HangRow rows[] = {
        {"hang", "Install", L"-install", kLimitSeconds, {}, "", {kInstallHangLine}, HangRow::Dump::Kept,
         L"hang-install.dmp"},
        {"hang", "Uninstall", L"-uninstall", kLimitSeconds, {}, "",
         {"The engine library has not returned from Uninstall within 3 s"}, HangRow::Dump::Kept,
         L"hang-uninstall.dmp"},
        // It holds the loader lock, which the keeper does not need.
        {"hang", "DLL_PROCESS_ATTACH", L"-install", kLimitSeconds, {}, "",
         {"The engine library has not returned from its attach code within 3 s"}, HangRow::Dump::Kept,
         L"hang-attach.dmp"},
        // Most often stopped inside the heap, holding its lock.
        {"busyhang", "Install", L"-install", kLimitSeconds, {}, "", {kInstallHangLine}, HangRow::Dump::Kept,
         L"hang-busy.dmp"},
        // Ended by the test after twice the limit, with exit code 1.
        {"hang", "Install", L"-install", 0, {}, "", {"The run ended without finishing, with exit status 0x00000001"},
         HangRow::Dump::None, nullptr},
        {"hang", "Install", L"-install", kLimitSeconds, {true, L""}, "", {kKeeperNotStartedLine, kInstallHangLine},
         HangRow::Dump::Kept, L"hang-inside.dmp"},
    };
    for (const HangRow& row : rows) ExpectTheHangEndsTheRun(row);
}

// A keeper ended before the hang, or while its dump is being written, leaves
// the report to the run: its line first, without the heap that the library
// mostly holds, then its dump where the heap lets it.
TEST(EngineHang, RunWhoseKeeperIsGoneReportsItself) {
    const HangRow rows[] = {
        {"busyhang", "Install", L"-install", kLimitSeconds, {}, "end", {kInstallHangLine}, HangRow::Dump::Either,
         nullptr},
        // The run then writes its line and its own dump where the heap lets it.
        {"busyhang", "Install", L"-install", kLimitSeconds, {false, L"ZelUnst.dmp.partial"}, "", {kInstallHangLine},
         HangRow::Dump::Either, nullptr},
    };
    for (const HangRow& row : rows) ExpectTheHangEndsTheRun(row);
}

// The run's own dump of code that holds the loader lock cannot finish: it is
// given up within its budget, not left to the last resort.
TEST(EngineHang, OwnDumpThatCannotFinishIsGivenUp) {
    ExpectTheHangEndsTheRun({"hang", "DLL_PROCESS_ATTACH", L"-install", kLimitSeconds, {true, L""}, "",
                             {kKeeperNotStartedLine, "The engine library has not returned from its attach code within 3 s"},
                             HangRow::Dump::None, nullptr});
}
