// A solution library that crashes (also while it holds the heap's lock),
// overflows its stack or aborts inside Install: the run ends by itself with the
// failure exit code and one log line, and an exception leaves a small dump
// beside the log. The record keeper writes both from outside the run. Run on
// an Xvfb desktop, where a crash or runtime box would wait for someone to
// close it.
#include <gtest/gtest.h>

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

struct FaultRow {
    const char* fault;
    const char* lastLogLine;  // a regular expression
    size_t dumpBytesBelow;    // 0: no dump is written
    bool dumpBlocked;         // a folder stands where the dump would go
    const wchar_t* library = L"zeldecs.dll";  // installed as the solution library
    const wchar_t* keptAs = nullptr;          // the dump is kept under this name
    bool keeperHeld = false;                  // the keeper never gets ready: the run reports itself
};

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
};

}  // namespace

TEST(LastChance, FaultInTheSolutionLibraryEndsTheRunWithItsFailureCode) {
    for (const FaultRow& row : kFaults) {
        SCOPED_TRACE(std::string(row.fault) + (row.keeperHeld ? " with its keeper held" : ""));
        if (row.keptAs != nullptr) DeleteFileW((BinDir() + L"\\..\\" + row.keptAs).c_str());
        const std::wstring dir = FreshDir(FromUtf8(row.fault));
        PlaceTool(dir, row.library);
        WriteText(dir + kSolutionDir + L"\\zeldecs.settings", std::string("Fault=") + row.fault + "\r\n");
        // An older dump is replaced.
        if (row.dumpBlocked) {
            CreateDirectoryW((dir + L"\\ZelUnst.dmp").c_str(), nullptr);
        } else {
            WriteText(dir + L"\\ZelUnst.dmp", "an older dump");
        }

        const ProcessResult result =
            row.keeperHeld ? RunToolHoldingItsKeeper(dir, L"-install", 60000) : RunToolIn(dir, L"-install");
        ASSERT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, kExitFailure);
        std::vector<std::string> calls = FileLines(dir + kSolutionDir + L"\\zeldecs.record");
        // A crash records last where its faulting instruction lies; the line must name that very place.
        std::string site;
        if (std::string(row.fault).rfind("crash", 0) == 0 && !calls.empty()) {
            site = calls.back();
            calls.pop_back();
        }
        // The library sees the error mode the tool set: abort() reports to stderr, never in a box.
        std::vector<std::string> expectedCalls = kCallsUpToTheFault;
        expectedCalls.push_back("Fault " + std::string(row.fault) + " with error mode " +
                                std::to_string(_OUT_TO_STDERR));
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

        const std::string dump = ReadBytes(dir + L"\\ZelUnst.dmp");
        if (row.dumpBytesBelow == 0) {
            EXPECT_EQ(dump, row.dumpBlocked ? "" : "an older dump");
            continue;
        }
        EXPECT_EQ(dump.substr(0, 4), "MDMP");
        EXPECT_LT(dump.size(), row.dumpBytesBelow);
        // Kept for the entries that read it back with the shipped file's symbols.
        if (row.keptAs != nullptr) {
            CopyFileW((dir + L"\\ZelUnst.dmp").c_str(), (BinDir() + L"\\..\\" + row.keptAs).c_str(), FALSE);
        }
    }
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

// A library that does not come back, idle or busy in the heap, ends the run at
// the limit the policy value sets, with its line and a dump that read-crash.sh
// reads as a hang. A limit of 0 leaves the run waiting until it is ended from
// outside, which its keeper logs. A keeper that cannot start leaves the report
// to the run itself.
TEST(EngineHang, HungCallEndsTheRunAtTheLimit) {
    constexpr DWORD kLimitSeconds = 3;
    const struct {
        const char* fault;
        const char* faultIn;
        const wchar_t* option;
        DWORD limitSeconds;
        bool keeperHeld;             // the keeper never gets ready
        std::vector<std::string> logTail;
        const wchar_t* keptAs;       // the dump, kept for read-crash.sh; none is written without it
    } rows[] = {
        {"hang", "Install", L"-install", kLimitSeconds, false,
         {"The engine library has not returned from Install within 3 s"}, L"hang-install.dmp"},
        {"hang", "Uninstall", L"-uninstall", kLimitSeconds, false,
         {"The engine library has not returned from Uninstall within 3 s"}, L"hang-uninstall.dmp"},
        // It holds the loader lock, which the keeper does not need.
        {"hang", "DLL_PROCESS_ATTACH", L"-install", kLimitSeconds, false,
         {"The engine library has not returned from its attach code within 3 s"}, L"hang-attach.dmp"},
        // Most often stopped inside the heap, holding its lock.
        {"busyhang", "Install", L"-install", kLimitSeconds, false,
         {"The engine library has not returned from Install within 3 s"}, L"hang-busy.dmp"},
        // Ended by RunToolIn after twice the limit, with exit code 1.
        {"hang", "Install", L"-install", 0, false,
         {"The run ended without finishing, with exit status 0x00000001"}, nullptr},
        {"hang", "Install", L"-install", kLimitSeconds, true,
         {"The record keeper could not start (error 1460); a crash or a hang is reported from inside the run",
          "The engine library has not returned from Install within 3 s"},
         L"hang-inside.dmp"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.fault) + " in " + row.faultIn + (row.limitSeconds == 0 ? " without a limit" : "") +
                     (row.keeperHeld ? " with its keeper held" : ""));
        SetEngineCallTimeoutPolicy(row.limitSeconds);
        const std::wstring dir = FreshDir(L"hang");
        PlaceTool(dir, L"zeldecs.dll");
        WriteText(dir + kSolutionDir + L"\\zeldecs.settings",
                  std::string("Fault=") + row.fault + "\r\nFaultIn=" + row.faultIn);
        // The limit, a dump's 30 s and a margin, and the keeper's 10 s to get ready; a run without a
        // limit is ended after twice the limit.
        const DWORD timeoutMs = row.limitSeconds == 0 ? 2 * kLimitSeconds * 1000 : 55000;
        const ProcessResult result =
            row.keeperHeld ? RunToolHoldingItsKeeper(dir, row.option, timeoutMs) : RunToolIn(dir, row.option, L"", timeoutMs);
        ASSERT_TRUE(result.started);
        const std::vector<std::string> calls = FileLines(dir + kSolutionDir + L"\\zeldecs.record");
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), "Fault " + std::string(row.fault) + " with error mode " + std::to_string(_OUT_TO_STDERR));
        EXPECT_EQ(result.timedOut, row.limitSeconds == 0);
        EXPECT_EQ(result.exitCode, result.timedOut ? 1u : kExitFailure);
        const std::vector<std::string> log = LogLines(dir);
        ASSERT_GE(log.size(), row.logTail.size());
        EXPECT_EQ(std::vector<std::string>(log.end() - static_cast<std::ptrdiff_t>(row.logTail.size()), log.end()),
                  row.logTail);
        EXPECT_EQ(FileExists(dir + L"\\ZelUnst.dmp"), row.keptAs != nullptr);
        if (row.keptAs != nullptr) {
            CopyFileW((dir + L"\\ZelUnst.dmp").c_str(), (BinDir() + L"\\..\\" + row.keptAs).c_str(), FALSE);
        }
    }
}
