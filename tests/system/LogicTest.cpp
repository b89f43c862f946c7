// The counting and ordering rules of the system operations, without the
// service manager, the process list or a child process.
#include <gtest/gtest.h>

#include <deque>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "system/ChildProcess.h"
#include "system/Processes.h"
#include "system/Services.h"

namespace {

using Calls = std::vector<std::string>;
constexpr DWORD kEFail = 0x80004005;

// Plays a service whose queries answer from a script (the last answer
// repeats); gives the result and every call made.
std::pair<DWORD, Calls> Stop(std::deque<std::optional<DWORD>> answers) {
    Calls calls;
    const DWORD result = StopAndWaitForStopped(
        [&] {
            calls.push_back("query");
            const std::optional<DWORD> answer = answers.front();
            if (answers.size() > 1) answers.pop_front();
            return answer;
        },
        [&] { calls.push_back("stop"); }, [&](DWORD ms) { calls.push_back("sleep " + std::to_string(ms)); });
    return {result, calls};
}

// A service first seen not stopped: the control, then `polls` polls, each but
// one that saw it stopped followed by a one second sleep.
Calls AfterControl(int polls, bool stopped) {
    Calls calls{"query", "stop"};
    for (int poll = 1; poll <= polls; ++poll) {
        calls.push_back("query");
        if (!stopped || poll < polls) calls.push_back("sleep 1000");
    }
    return calls;
}

}  // namespace

TEST(StopPolling, PollsEverySecondAtMostFiveTimes) {
    const std::optional<DWORD> failed;
    const DWORD running = SERVICE_RUNNING, pending = SERVICE_STOP_PENDING, stopped = SERVICE_STOPPED;
    EXPECT_EQ(AfterControl(3, true), (Calls{"query", "stop", "query", "sleep 1000", "query", "sleep 1000", "query"}));
    const struct {
        std::deque<std::optional<DWORD>> answers;
        DWORD result;
        Calls calls;
    } cases[] = {
        {{stopped}, 0, {"query"}},  // already stopped: no control, no sleep
        {{running, stopped}, 0, AfterControl(1, true)},
        {{running, pending, pending, stopped}, 0, AfterControl(3, true)},
        {{running, running, running, running, running, stopped}, 0, AfterControl(5, true)},
        // A failed first query still sends the control; failed polls are polls.
        {{failed, failed, stopped}, 0, AfterControl(2, true)},
        {{failed}, kEFail, AfterControl(5, false)},
        {{running}, kEFail, AfterControl(5, false)},
        {{pending}, kEFail, AfterControl(5, false)},
        {{DWORD{SERVICE_PAUSED}}, kEFail, AfterControl(5, false)},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(Stop(cases[i].answers), std::make_pair(cases[i].result, cases[i].calls)) << "case " << i;
    }
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

TEST(MainProgram, OnlyTheFirstMainProgramThatOpensIsEndedAndItsResultCounts) {
    using Outcome = std::pair<int, std::vector<DWORD>>;  // the result and the ids tried, in order
    // Every id but `unopenable` opens and TerminateProcess answers `ended`.
    const auto end = [](const std::vector<RunningProcess>& processes, BOOL ended, DWORD unopenable = 0) {
        std::vector<DWORD> tried;
        const int result = EndFirstMainProgram(processes, [&](DWORD id) -> std::optional<BOOL> {
            tried.push_back(id);
            if (id == unopenable) return std::nullopt;
            return ended;
        });
        return Outcome{result, tried};
    };
    const std::vector<RunningProcess> mixed{
        {4, L"explorer.exe"}, {8, L"myruxmain.exe"}, {12, L"RUXMAIN.EXE"}, {16, L"ruxmain.exe"}, {20, L"ruxmain.exe"}};
    EXPECT_EQ(end(mixed, TRUE, 12), (Outcome{TRUE, {12, 16}}));
    // A refused TerminateProcess is the result; the second is not tried.
    const std::vector<RunningProcess> two{{12, L"ruxmain.exe"}, {16, L"ruxmain.exe"}};
    EXPECT_EQ(end(two, FALSE), (Outcome{0, {12}}));
    // None ended, none opened or none there: 1.
    EXPECT_EQ(end({{12, L"ruxmain.exe"}}, TRUE, 12), (Outcome{1, {12}}));
    EXPECT_EQ(end({{4, L"myruxmain.exe"}, {8, L"ruxmain.exe.bak"}}, TRUE), (Outcome{1, {}}));
    EXPECT_EQ(end({}, TRUE), (Outcome{1, {}}));
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
