// A solution library that crashes, overflows its stack or aborts inside
// Install: the run ends by itself with the failure exit code and one log line,
// and an exception leaves a small dump beside the log. Run on an Xvfb desktop,
// where a crash or runtime box would wait for someone to close it.
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
};

// No heap goes into a dump: a crash's is small, an overflow's holds the full
// stack (2 MB reserved for the tool's thread).
const FaultRow kFaults[] = {
    {"crash", "Unhandled exception 0xC0000005 at zeldecs\\.dll\\+0x[0-9A-F]+", 256 * 1024, false, L"zeldecs.dll",
     L"crash-sample.dmp"},
    {"stackoverflow", "Unhandled exception 0xC00000FD at zeldecs\\.dll\\+0x[0-9A-F]+", 2304 * 1024, false},
    {"abort", "Abnormal termination", 0, false},
    // A dump that cannot be written keeps neither the line nor the exit from happening.
    {"crash", "Unhandled exception 0xC0000005 at zeldecs\\.dll\\+0x[0-9A-F]+; no dump written", 0, true},
    // The library as a vendor ships it: optimised, stripped, no frame pointers.
    {"crash", "Unhandled exception 0xC0000005 at zeldecs\\.dll\\+0x[0-9A-F]+", 256 * 1024, false,
     L"zeldecs_stripped.dll", L"crash-stripped.dmp"},
};

}  // namespace

TEST(LastChance, FaultInTheSolutionLibraryEndsTheRunWithItsFailureCode) {
    for (const FaultRow& row : kFaults) {
        SCOPED_TRACE(row.fault);
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

        const ProcessResult result = RunToolIn(dir, L"-install");
        ASSERT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, kExitFailure);
        std::vector<std::string> calls = FileLines(dir + kSolutionDir + L"\\zeldecs.record");
        // A crash records last where its faulting instruction lies; the line must name that very place.
        std::string site;
        if (std::string(row.fault) == "crash" && !calls.empty()) {
            site = calls.back();
            calls.pop_back();
        }
        // The library sees the error mode the tool set: abort() reports to stderr, never in a box.
        std::vector<std::string> expectedCalls = kCallsUpToTheFault;
        expectedCalls.push_back("Fault " + std::string(row.fault) + " with error mode " +
                                std::to_string(_OUT_TO_STDERR));
        EXPECT_EQ(calls, expectedCalls);
        const std::vector<std::string> log = LogLines(dir);
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0], "Now, RunHandle");
        EXPECT_TRUE(std::regex_match(log[1], std::regex(row.lastLogLine))) << log[1];
        if (!site.empty()) {
            const size_t at = log[1].find(" at ") + 4;
            EXPECT_EQ(site, "Fault site " + log[1].substr(at, log[1].find(';', at) - at));
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
// option), no line of its own and no dump.
TEST(LastChance, FailFastEndsTheRunWithItsOwnCode) {
    const std::wstring dir = FreshDir(L"failfast");
    PlaceTool(dir, L"zeldecs.dll");
    WriteText(dir + kSolutionDir + L"\\zeldecs.settings", "Fault=failfast\r\n");
    const ProcessResult result = RunToolIn(dir, L"-install");
    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN));
    EXPECT_EQ(LogLines(dir), std::vector<std::string>{"Now, RunHandle"});
    EXPECT_FALSE(FileExists(dir + L"\\ZelUnst.dmp"));
}

// A library that does not come back ends the run at the limit the policy value
// sets, with its line and, where one can be written, a dump that read-crash.sh
// reads as a hang; a limit of 0 leaves the run waiting.
TEST(EngineHang, HungCallEndsTheRunAtTheLimit) {
    constexpr DWORD kLimitSeconds = 3;
    const struct {
        const char* faultIn;
        const wchar_t* option;
        const char* lastLogLine;  // empty: the run is still going when it is ended
        DWORD limitSeconds;
        const wchar_t* keptAs;  // the dump, kept for read-crash.sh; none is written without it
    } rows[] = {
        {"Install", L"-install", "The engine library has not returned from Install within 3 s", kLimitSeconds,
         L"hang-install.dmp"},
        {"Uninstall", L"-uninstall", "The engine library has not returned from Uninstall within 3 s", kLimitSeconds,
         L"hang-uninstall.dmp"},
        // The attach code holds the loader lock, on which the dump waits until it is given up.
        {"DLL_PROCESS_ATTACH", L"-install",
         "The engine library has not returned from its attach code within 3 s; no dump written", kLimitSeconds,
         nullptr},
        {"Install", L"-install", "", 0, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.faultIn) + (row.limitSeconds == 0 ? " without a limit" : ""));
        SetEngineCallTimeoutPolicy(row.limitSeconds);
        const std::wstring dir = FreshDir(L"hang");
        PlaceTool(dir, L"zeldecs.dll");
        WriteText(dir + kSolutionDir + L"\\zeldecs.settings", std::string("Fault=hang\r\nFaultIn=") + row.faultIn);
        // The limit, the dump's 30 s and a margin; a run without a limit is ended after twice the limit.
        const ProcessResult result =
            RunToolIn(dir, row.option, L"", row.limitSeconds == 0 ? 2 * kLimitSeconds * 1000 : 45000);
        ASSERT_TRUE(result.started);
        const std::vector<std::string> calls = FileLines(dir + kSolutionDir + L"\\zeldecs.record");
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), "Fault hang with error mode " + std::to_string(_OUT_TO_STDERR));
        EXPECT_EQ(result.timedOut, *row.lastLogLine == '\0');
        if (result.timedOut) continue;
        EXPECT_EQ(result.exitCode, kExitFailure);
        const std::vector<std::string> log = LogLines(dir);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), row.lastLogLine);
        EXPECT_EQ(FileExists(dir + L"\\ZelUnst.dmp"), row.keptAs != nullptr);
        if (row.keptAs != nullptr) {
            CopyFileW((dir + L"\\ZelUnst.dmp").c_str(), (BinDir() + L"\\..\\" + row.keptAs).c_str(), FALSE);
        }
    }
}
