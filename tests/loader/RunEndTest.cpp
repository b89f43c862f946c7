// The run's end waits on nothing the engine library leaves behind: a thread in
// the loader's or the process's own locks, one holding the C runtime's stdout
// or printing into a pipe that nobody reads, a helper library whose detach
// code hangs or crashes. Whatever status a library ends the process with from
// inside, ExitProcess is no success; TerminateProcess of itself is out of the
// tool's reach, and its keeper's line is what records it.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

constexpr DWORD kExitFailure = 0xFFFFFFFF;
const wchar_t kSolutionDir[] = L"\\subsystem\\zelde";
// Far beyond a run's own end, far below the bounds that would end a run that hangs.
constexpr DWORD kEndsWithinMs = 30000;

struct EndRow {
    const char* shape;
    std::string settings;        // zeldecs.settings
    std::string helperSettings;  // zelhelper.settings
    const wchar_t* arguments;
    DWORD exitCode;
    std::vector<std::string> logAfterStart;  // the lines after "Now, RunHandle"
    const char* output;                      // what the run printed; null: not looked at
    bool outputUnread = false;               // stdout goes into a pipe read only at the run's end
    bool keeperLogsTheEnd = false;           // the keeper, not the run, logs how the run ended
};

const char kNoInterfaceMessage[] = "\r\nGetClassObject  IZelSolution  interface failed \r\n";
const char kExitProcessLine[] = "The process was ended by ExitProcess inside Install, before the run finished";

const EndRow kRows[] = {
    {"paths resolved in a loop", "Leave=pathloop\r\n", "", L"-install", 0, {}, ""},
    {"inside LoadLibrary of a slow attach", "Leave=loadslow\r\n", "attach_ms=3000\r\n", L"-install", 0, {}, ""},
    {"stdout's lock held", "Leave=stdoutlock\r\nLeaveIn=DllGetClassObject\r\nInterface=none\r\n", "", L"-install",
     kExitFailure, {}, kNoInterfaceMessage},
    {"printing into a pipe nobody reads", "Leave=stdoutpipe\r\n", "", L"-install", 0, {}, nullptr, true},
    {"helper whose detach hangs", "KeepLoaded=zelhelper.dll\r\n", "detach=hang\r\n", L"-uninstall", 0,
     {"Now, _DoUnInstall"}, ""},
    {"a fault the detach code handles", "Fault=handledfault\r\nFaultIn=DLL_PROCESS_DETACH\r\n", "", L"-install", 0,
     {}, ""},
    {"ExitProcess(0) in Install", "Fault=exitprocess\r\n", "", L"-install", kExitFailure, {kExitProcessLine}, ""},
    {"exit(0) in Install", "Fault=exit\r\n", "", L"-install", kExitFailure, {kExitProcessLine}, ""},
    // Out of reach: the process is gone before any code of the tool runs again.
    {"TerminateProcess of itself with 0 in Install", "Fault=terminateself\r\n", "", L"-install", 0,
     {"The run ended without finishing, with exit status 0x00000000"}, "", false, true},
};

}  // namespace

TEST(RunEnd, WhatTheLibraryLeavesNeverHoldsUpTheEnd) {
    for (const EndRow& row : kRows) {
        SCOPED_TRACE(row.shape);
        const std::wstring dir = FreshDir(L"runend");
        PlaceTool(dir, L"zeldecs.dll");
        CopyFromBin(L"zelhelper.dll", dir + kSolutionDir + L"\\zelhelper.dll");
        WriteText(dir + kSolutionDir + L"\\zeldecs.settings", row.settings);
        WriteText(dir + kSolutionDir + L"\\zelhelper.settings", row.helperSettings);

        const ProcessResult result = row.outputUnread ? RunToolIntoUnreadPipe(dir, row.arguments, kEndsWithinMs)
                                                      : RunToolIn(dir, row.arguments, L"", kEndsWithinMs);
        ASSERT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, row.exitCode);
        // The run ended its keeper before itself.
        if (!row.keeperLogsTheEnd) {
            EXPECT_FALSE(result.outlivedByAToolRun);
        }
        if (row.output != nullptr) {
            EXPECT_EQ(result.output, row.output);
        }
        std::vector<std::string> log{"Now, RunHandle"};
        log.insert(log.end(), row.logAfterStart.begin(), row.logAfterStart.end());
        EXPECT_EQ(LogLines(dir), log);
        // No library's detach code ran at the process's end.
        for (const wchar_t* record : {L"\\zeldecs.record", L"\\zelhelper.record"}) {
            for (const std::string& line : FileLines(dir + kSolutionDir + record)) {
                EXPECT_EQ(line.find("ProcessExit"), std::string::npos) << ToUtf8(record);
            }
        }
        const std::string leave = row.settings.rfind("Leave=", 0) == 0
                                      ? row.settings.substr(6, row.settings.find('\r') - 6)
                                      : std::string();
        if (!leave.empty()) {
            const std::vector<std::string> calls = FileLines(dir + kSolutionDir + L"\\zeldecs.record");
            EXPECT_NE(std::find(calls.begin(), calls.end(), "Left a thread: " + leave), calls.end());
        }
        if (row.settings.find("KeepLoaded") != std::string::npos) {
            EXPECT_EQ(FileLines(dir + kSolutionDir + L"\\zelhelper.record"),
                      std::vector<std::string>{"DLL_PROCESS_ATTACH"});
        }
    }
}
