// The counting and ordering rules of the system operations, without the
// service manager, the process list or a child process.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "system/ChildProcess.h"
#include "system/MainProgram.h"
#include "system/ServiceStop.h"

namespace {

// Plays a service whose queries answer from a script and records every call.
struct ScriptedService {
    std::deque<std::optional<DWORD>> answers;  // the last answer repeats
    std::vector<std::string> calls;

    DWORD Stop() {
        return StopAndWaitForStopped(
            [this] {
                calls.push_back("query");
                const std::optional<DWORD> answer = answers.front();
                if (answers.size() > 1) answers.pop_front();
                return answer;
            },
            [this] { calls.push_back("stop"); },
            [this](DWORD ms) { calls.push_back("sleep " + std::to_string(ms)); });
    }
};

using Calls = std::vector<std::string>;
constexpr DWORD kEFail = 0x80004005;

}  // namespace

TEST(StopPolling, AlreadyStoppedServiceGetsNoControlAndNoSleep) {
    ScriptedService service{{SERVICE_STOPPED}, {}};
    EXPECT_EQ(service.Stop(), 0u);
    EXPECT_EQ(service.calls, Calls{"query"});
}

TEST(StopPolling, ServiceStoppingAfterControlIsSeenOnTheThirdPollWithTwoSleeps) {
    // Running before the control, then polled at about 0, 1 and 2 seconds.
    ScriptedService service{{SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}, {}};
    EXPECT_EQ(service.Stop(), 0u);
    EXPECT_EQ(service.calls,
              (Calls{"query", "stop", "query", "sleep 1000", "query", "sleep 1000", "query"}));
}

TEST(StopPolling, ServiceStoppedAtTheFirstPollCostsNoSleep) {
    ScriptedService service{{SERVICE_RUNNING, SERVICE_STOPPED}, {}};
    EXPECT_EQ(service.Stop(), 0u);
    EXPECT_EQ(service.calls, (Calls{"query", "stop", "query"}));
}

TEST(StopPolling, ServiceThatNeverStopsCostsFivePollsAndFiveSleeps) {
    for (DWORD state : {DWORD{SERVICE_RUNNING}, DWORD{SERVICE_STOP_PENDING}, DWORD{SERVICE_PAUSED}}) {
        ScriptedService service{{state}, {}};
        EXPECT_EQ(service.Stop(), kEFail) << state;
        Calls expected{"query", "stop"};
        for (int poll = 0; poll < 5; ++poll) {
            expected.push_back("query");
            expected.push_back("sleep 1000");
        }
        EXPECT_EQ(service.calls, expected) << state;
    }
}

TEST(StopPolling, FailedQueriesCountAsNotStopped) {
    // A failed first query still sends the control; failed polls are polls.
    ScriptedService failing{{std::nullopt, std::nullopt, SERVICE_STOPPED}, {}};
    EXPECT_EQ(failing.Stop(), 0u);
    EXPECT_EQ(failing.calls, (Calls{"query", "stop", "query", "sleep 1000", "query"}));

    ScriptedService neverAnswers{{std::nullopt}, {}};
    EXPECT_EQ(neverAnswers.Stop(), kEFail);
    EXPECT_EQ(neverAnswers.calls.size(), 12u);
}

TEST(StopPolling, StoppedOnTheFifthPollStillSucceeds) {
    ScriptedService service{{SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_RUNNING,
                             SERVICE_STOPPED},
                            {}};
    EXPECT_EQ(service.Stop(), 0u);
    EXPECT_EQ(service.calls.size(), 2u + 4u * 2u + 1u);
    EXPECT_EQ(service.calls.back(), "query");
}

TEST(MainProgram, ImageNameMatchesWholeAndWithoutRegardToCase) {
    EXPECT_TRUE(IsMainProgramImage(L"ruxmain.exe"));
    EXPECT_TRUE(IsMainProgramImage(L"RUXMAIN.EXE"));
    EXPECT_TRUE(IsMainProgramImage(L"RuxMain.Exe"));
    EXPECT_FALSE(IsMainProgramImage(L"myruxmain.exe"));
    EXPECT_FALSE(IsMainProgramImage(L"ruxmain.exe.bak"));
    EXPECT_FALSE(IsMainProgramImage(L"ruxmain"));
    EXPECT_FALSE(IsMainProgramImage(L""));
}

TEST(MainProgram, OnlyTheFirstMainProgramThatOpensIsEnded) {
    const std::vector<RunningProcess> processes{
        {4, L"explorer.exe"}, {8, L"myruxmain.exe"}, {12, L"RUXMAIN.EXE"}, {16, L"ruxmain.exe"}, {20, L"ruxmain.exe"}};

    std::vector<DWORD> tried;
    // 12 cannot be opened; 16 is ended; 20 is never touched.
    const int result = EndFirstMainProgram(processes, [&tried](DWORD id) -> std::optional<BOOL> {
        tried.push_back(id);
        if (id == 12) return std::nullopt;
        return TRUE;
    });
    EXPECT_EQ(result, TRUE);
    EXPECT_EQ(tried, (std::vector<DWORD>{12, 16}));
}

TEST(MainProgram, ResultIsTerminateProcessesOrOneWhenNoneEnded) {
    const std::vector<RunningProcess> two{{12, L"ruxmain.exe"}, {16, L"ruxmain.exe"}};
    std::vector<DWORD> tried;
    // A refused TerminateProcess is the result; the second is not tried.
    EXPECT_EQ(EndFirstMainProgram(two, [&tried](DWORD id) -> std::optional<BOOL> {
                  tried.push_back(id);
                  return FALSE;
              }),
              0);
    EXPECT_EQ(tried, std::vector<DWORD>{12});

    EXPECT_EQ(EndFirstMainProgram(two, [](DWORD) -> std::optional<BOOL> { return std::nullopt; }), 1);

    bool called = false;
    const std::vector<RunningProcess> none{{4, L"myruxmain.exe"}, {8, L"ruxmain.exe.bak"}};
    EXPECT_EQ(EndFirstMainProgram(none, [&called](DWORD) -> std::optional<BOOL> {
                  called = true;
                  return TRUE;
              }),
              1);
    EXPECT_FALSE(called);
    EXPECT_EQ(EndFirstMainProgram({}, [](DWORD) -> std::optional<BOOL> { return TRUE; }), 1);
}

TEST(CommandLines, ExecutableIsQuotedOnlyWhenItHoldsASpaceOrTab) {
    EXPECT_EQ(CommandLineFor(L"C:\\P\\ruxserv.exe", L"-install"), L"C:\\P\\ruxserv.exe -install");
    EXPECT_EQ(CommandLineFor(L"C:\\Program Files\\P\\ruxserv.exe", L"-install"),
              L"\"C:\\Program Files\\P\\ruxserv.exe\" -install");
    EXPECT_EQ(CommandLineFor(L"C:\\a\tb\\x.exe", L"-y"), L"\"C:\\a\tb\\x.exe\" -y");
    // Parameters stay as they are, spaces and all.
    EXPECT_EQ(CommandLineFor(L"C:\\A B\\zelserv.exe", L"/uninstall_product 0x000A0000"),
              L"\"C:\\A B\\zelserv.exe\" /uninstall_product 0x000A0000");
    // Empty parameters add nothing, not even the space.
    EXPECT_EQ(CommandLineFor(L"C:\\P\\ruxserv.exe", L""), L"C:\\P\\ruxserv.exe");
    EXPECT_EQ(CommandLineFor(L"C:\\A B\\x.exe", L""), L"\"C:\\A B\\x.exe\"");
    // A path its caller already quoted is not quoted twice.
    EXPECT_EQ(CommandLineFor(L"\"C:\\A B\\x.exe\"", L"-y"), L"\"C:\\A B\\x.exe\" -y");
}

TEST(CommandLines, RunAndWaitAlwaysPutsOneSpaceBetweenPathAndParameters) {
    EXPECT_EQ(RunAndWaitCommandLine(L"C:\\E\\zelserv.exe", L"/can_uninstall_framework"),
              std::wstring(L"C:\\E\\zelserv.exe /can_uninstall_framework"));
    EXPECT_EQ(RunAndWaitCommandLine(L"C:\\E\\zelserv.exe", L""), std::wstring(L"C:\\E\\zelserv.exe "));
    EXPECT_EQ(RunAndWaitCommandLine(nullptr, L"-stop"), std::wstring(L" -stop"));
    EXPECT_EQ(RunAndWaitCommandLine(nullptr, L""), std::wstring(L" "));
    EXPECT_EQ(RunAndWaitCommandLine(L"C:\\Program Files\\P\\ruxserv.exe", L"-stop"),
              std::wstring(L"\"C:\\Program Files\\P\\ruxserv.exe\" -stop"));
}

TEST(CommandLines, RunAndWaitTakes259CharactersAndRefusesMore) {
    const std::wstring path = L"C:\\E\\zelserv.exe";
    const std::wstring fits(kRunAndWaitCommandLineMax - path.size() - 1, L'x');
    const std::optional<std::wstring> longest = RunAndWaitCommandLine(path.c_str(), fits.c_str());
    ASSERT_TRUE(longest.has_value());
    EXPECT_EQ(longest->size(), 259u);
    EXPECT_EQ(*longest, path + L" " + fits);

    const std::wstring oneMore = fits + L"x";
    EXPECT_FALSE(RunAndWaitCommandLine(path.c_str(), oneMore.c_str()).has_value());
    // The quotes count: a path with a space needs two more characters.
    const std::wstring spaced = L"C:\\E E\\zelserv.exe";
    const std::wstring spacedFits(259 - spaced.size() - 3, L'x');
    EXPECT_TRUE(RunAndWaitCommandLine(spaced.c_str(), spacedFits.c_str()).has_value());
    EXPECT_FALSE(RunAndWaitCommandLine(spaced.c_str(), (spacedFits + L"x").c_str()).has_value());
    const std::wstring longPath(300, L'p');
    EXPECT_FALSE(RunAndWaitCommandLine(longPath.c_str(), L"").has_value());
}
