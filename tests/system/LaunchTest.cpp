// The launchers and launch conventions, with stand-in programs that record the
// command line, current directory and start-up record they were given.
#include <gtest/gtest.h>

#include <cstdio>

#include "system/ChildProcess.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"
#include "tests/system/SystemTestSupport.h"

using namespace zeltest;
using namespace systest;

namespace {

// A program that takes any command line, records its start and its end, and
// ends with 0 unless its settings say otherwise.
std::wstring Recorder(const std::wstring& path) {
    PlaceStandIn(L"unins000.exe", path);
    ClearRecords(path);
    ClearSettings(path);
    return path;
}

StandInRecord OnlyStart(const std::wstring& exe) {
    const std::vector<StandInRecord> starts = ReadRecords(exe, "start");
    EXPECT_EQ(starts.size(), 1u);
    return starts.empty() ? StandInRecord{} : starts.front();
}

std::vector<std::string> LastLogLines(size_t count) {
    const std::vector<std::string> lines = LogLines(OwnFolder(), false);
    std::vector<std::string> last;
    // The file ends with CR LF, which leaves no empty last line.
    for (size_t i = lines.size() >= count ? lines.size() - count : 0; i < lines.size(); ++i) last.push_back(lines[i]);
    return last;
}

// "<prefix>label<prefix>value" -> label and value; false when a prefix is missing.
bool SplitDoublePrefixed(const std::string& line, std::string& label, std::string& value) {
    std::string rest;
    if (!CutPrefix(line, rest)) return false;
    const size_t second = rest.find(" | ");
    if (second == std::string::npos || second < 19) return false;
    label = rest.substr(0, second - 19);
    return CutPrefix(rest.substr(second - 19), value);
}

}  // namespace

TEST(RunAndWait, CommandLinesReachTheChildAsBuilt) {
    const std::wstring exe = Recorder(FreshDir(L"rw_lines") + L"\\unins000.exe");
    DWORD exitCode = 0;

    EXPECT_EQ(_RunAndWait(exe.c_str(), L"/can_uninstall_framework", &exitCode), 1);
    EXPECT_EQ(OnlyStart(exe).commandLine, exe + L" /can_uninstall_framework");
    EXPECT_EQ(OnlyStart(exe).currentDir, CurrentDir());

    // Empty parameters: the path and one trailing space.
    ClearRecords(exe);
    EXPECT_EQ(_RunAndWait(exe.c_str(), L"", &exitCode), 1);
    EXPECT_EQ(OnlyStart(exe).commandLine, exe + L" ");

    // No path: the command line " <exe> -stop" begins with the space, so its
    // first token, the program to start, is empty and nothing is started.
    ClearRecords(exe);
    exitCode = 5;
    const std::wstring parameters = exe + L" -stop";
    EXPECT_EQ(_RunAndWait(nullptr, parameters.c_str(), &exitCode), 0);
    EXPECT_EQ(exitCode, 5u);
    EXPECT_FALSE(FileExists(RecordPathOf(exe)));
}

TEST(RunAndWait, TakesExactly259CharactersAndRefusesLongerStartingNothing) {
    const std::wstring exe = Recorder(FreshDir(L"rw_long") + L"\\unins000.exe");
    const std::wstring fits = L"/p:" + std::wstring(259 - exe.size() - 1 - 3, L'x');
    DWORD exitCode = 0;
    ASSERT_EQ(exe.size() + 1 + fits.size(), 259u);
    EXPECT_EQ(_RunAndWait(exe.c_str(), fits.c_str(), &exitCode), 1);
    EXPECT_EQ(OnlyStart(exe).commandLine, exe + L" " + fits);

    ClearRecords(exe);
    exitCode = 77;
    const std::wstring tooLong = fits + L"y";
    EXPECT_EQ(_RunAndWait(exe.c_str(), tooLong.c_str(), &exitCode), 0);
    EXPECT_EQ(exitCode, 77u);
    Sleep(500);  // a wrongly started child would have recorded by now
    EXPECT_FALSE(FileExists(RecordPathOf(exe)));
}

TEST(RunAndWait, HandsBackTheExitCodeAfterTheChildEnded) {
    const std::wstring exe = Recorder(FreshDir(L"rw_exit") + L"\\unins000.exe");
    DWORD exitCode = 0;

    WriteSettings(exe, {{"exit_code", "3"}, {"delay_ms", "1500"}});
    EXPECT_EQ(_RunAndWait(exe.c_str(), L"-x", &exitCode), 1);
    EXPECT_EQ(exitCode, 3u);
    // It waited for the end, slow as the child was.
    EXPECT_EQ(ReadRecords(exe, "exit").size(), 1u);

    WriteSettings(exe, {{"exit_code", "0"}});
    exitCode = 55;
    EXPECT_EQ(_RunAndWait(exe.c_str(), L"-x", &exitCode), 1);
    EXPECT_EQ(exitCode, 0u);

    // Without a place for the exit code it still waits.
    ClearRecords(exe);
    WriteSettings(exe, {{"delay_ms", "1000"}});
    EXPECT_EQ(_RunAndWait(exe.c_str(), L"-x", nullptr), 1);
    EXPECT_EQ(ReadRecords(exe, "exit").size(), 1u);
}

TEST(RunAndWait, MissingExecutableGivesZeroAndLeavesTheExitCode) {
    const std::wstring dir = FreshDir(L"rw_missing");
    DWORD exitCode = 0;
    EXPECT_EQ(_RunAndWait((dir + L"\\zelserv.exe").c_str(), L"/can_uninstall_framework", &exitCode), 0);
    EXPECT_EQ(exitCode, 0u);
    exitCode = 9;
    EXPECT_EQ(_RunAndWait(L"\\zelserv.exe", L"/can_uninstall_framework", &exitCode), 0);
    EXPECT_EQ(exitCode, 9u);
}

TEST(DoCreateProcess, LogsTwoDoublePrefixedLinesAndStartsInTheDirectoryWithoutWaiting) {
    const std::wstring dir = FreshDir(L"dcp");
    const std::wstring work = FreshDir(L"dcp_work");
    const std::wstring exe = PlaceStandIn(L"ruxmain.exe", dir + L"\\ruxmain.exe");
    ClearRecords(exe);

    // ruxmain.exe runs until it is ended: the call must come back anyway.
    EXPECT_NE(_DoCreateProcess(exe, L"", work), FALSE);
    const std::vector<StandInRecord> starts = WaitForRecords(exe, "start", 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].commandLine, exe);  // no trailing space
    EXPECT_EQ(starts[0].currentDir, work);
    EXPECT_EQ(starts[0].startupFlags, 0u);
    EXPECT_EQ(starts[0].showWindow, 0u);
    EXPECT_TRUE(IsRunning(starts[0].pid));

    const std::vector<std::string> lines = LastLogLines(3);
    ASSERT_EQ(lines.size(), 3u);
    std::string label, value, rest;
    ASSERT_TRUE(SplitDoublePrefixed(lines[0], label, value)) << lines[0];
    EXPECT_EQ(label, "_DoCreateProcess : ");
    EXPECT_EQ(value, Narrow(exe));
    ASSERT_TRUE(SplitDoublePrefixed(lines[1], label, value)) << lines[1];
    EXPECT_EQ(label, "strCurrentDirectory : ");
    EXPECT_EQ(value, Narrow(work));
    ASSERT_TRUE(CutPrefix(lines[2], rest)) << lines[2];
    EXPECT_EQ(rest, "_DoCreateProcess Suc");
    EndProcessById(starts[0].pid);

    // Parameters follow one space.
    ClearRecords(exe);
    EXPECT_NE(_DoCreateProcess(exe, L"-start", dir), FALSE);
    const std::vector<StandInRecord> again = WaitForRecords(exe, "start", 1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].commandLine, exe + L" -start");
    EXPECT_EQ(again[0].currentDir, dir);
    EXPECT_TRUE(SplitDoublePrefixed(LastLogLines(3)[0], label, value));
    EXPECT_EQ(value, Narrow(exe + L" -start"));
    EndProcessById(again[0].pid);
}

TEST(DoCreateProcess, FailureIsLoggedAfterTheTwoLines) {
    const std::wstring dir = FreshDir(L"dcp_missing");
    const std::wstring missing = dir + L"\\ruxserv.exe";
    EXPECT_EQ(_DoCreateProcess(missing, L"-start", dir), FALSE);
    const std::vector<std::string> lines = LastLogLines(3);
    ASSERT_EQ(lines.size(), 3u);
    std::string label, value, rest;
    ASSERT_TRUE(SplitDoublePrefixed(lines[0], label, value));
    EXPECT_EQ(value, Narrow(missing) + " -start");
    ASSERT_TRUE(SplitDoublePrefixed(lines[1], label, value));
    EXPECT_EQ(value, Narrow(dir));
    ASSERT_TRUE(CutPrefix(lines[2], rest));
    EXPECT_EQ(rest, "_DoCreateProcess Fail");
}

TEST(LaunchConventions, EachGivesItsStartupRecord) {
    const std::wstring dir = FreshDir(L"conventions");
    const std::wstring work = FreshDir(L"conventions_work");
    STARTUPINFOW own{};
    own.cb = sizeof(own);
    GetStartupInfoW(&own);

    struct Case {
        Launch launch;
        const wchar_t* name;
        DWORD flags;
        WORD show;
        const wchar_t* directory;
    };
    const Case cases[] = {
        {Launch::Hidden, L"hidden", own.dwFlags, SW_HIDE, nullptr},
        {Launch::Windowless, L"windowless", 0, 0, nullptr},
        {Launch::Plain, L"plain", 0, 0, work.c_str()},
        {Launch::Plain, L"plaininherit", 0, 0, nullptr},
        {Launch::Shown, L"shown", STARTF_USESHOWWINDOW, SW_SHOW, nullptr},
    };
    for (const Case& c : cases) {
        const std::wstring exe = Recorder(dir + L"\\" + c.name + L".exe");
        ProcessHandles child;
        ASSERT_NE(StartChild(c.launch, exe, CommandLineFor(exe, L"-go"), child, c.directory), FALSE) << c.name;
        EXPECT_EQ(WaitForSingleObject(child.process.Get(), 20000), WAIT_OBJECT_0) << c.name;
        const StandInRecord start = OnlyStart(exe);
        EXPECT_EQ(start.startupFlags, c.flags) << c.name;
        EXPECT_EQ(start.showWindow, c.show) << c.name;
        EXPECT_EQ(start.currentDir, c.directory != nullptr ? c.directory : CurrentDir()) << c.name;
        // The shown launch names the executable and passes no command line of its own.
        EXPECT_EQ(start.arguments, c.launch == Launch::Shown ? L"" : L"-go") << c.name;
        std::printf("%ls: command line [%ls]\n", c.name, start.commandLine.c_str());
    }
}

// Runs only as the child of the next test, which starts this program with
// STARTF_USESHOWWINDOW; it makes one hidden launch of the target.
TEST(LaunchHelper, HiddenLaunchFromAParentStartedShown) {
    wchar_t target[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ZT_HIDDEN_TARGET", target, MAX_PATH) == 0) GTEST_SKIP();
    ProcessHandles child;
    ASSERT_NE(StartChild(Launch::Hidden, target, CommandLineFor(target, L"-hidden"), child), FALSE);
    EXPECT_EQ(WaitForSingleObject(child.process.Get(), 20000), WAIT_OBJECT_0);
}

TEST(LaunchConventions, HiddenKeepsTheToolsOwnFlagsAndHidesTheWindow) {
    const std::wstring exe = Recorder(FreshDir(L"hidden_shown") + L"\\unins000.exe");
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --gtest_filter=LaunchHelper.*";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINNOACTIVE;
    PROCESS_INFORMATION info{};
    SetEnvironmentVariableW(L"ZT_HIDDEN_TARGET", exe.c_str());
    const BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &info);
    SetEnvironmentVariableW(L"ZT_HIDDEN_TARGET", nullptr);
    ASSERT_NE(started, FALSE);
    ProcessHandles helper(info);
    ASSERT_EQ(WaitForSingleObject(helper.process.Get(), 60000), WAIT_OBJECT_0);
    DWORD helperExit = 1;
    GetExitCodeProcess(helper.process.Get(), &helperExit);
    EXPECT_EQ(helperExit, 0u);

    const StandInRecord start = OnlyStart(exe);
    EXPECT_EQ(start.startupFlags & STARTF_USESHOWWINDOW, DWORD{STARTF_USESHOWWINDOW});
    EXPECT_EQ(start.showWindow, SW_HIDE);
    EXPECT_EQ(start.commandLine, exe + L" -hidden");
}

TEST(LaunchConventions, ChildGetsTheToolsEnvironment) {
    SetEnvironmentVariableW(L"ZT_MARK", L"inherited");
    const std::wstring cmd = L"C:\\windows\\system32\\cmd.exe";
    ProcessHandles child;
    const BOOL started = StartChild(
        Launch::Windowless, cmd, CommandLineFor(cmd, L"/c if \"%ZT_MARK%\"==\"inherited\" (exit 3) else (exit 4)"),
        child);
    SetEnvironmentVariableW(L"ZT_MARK", nullptr);
    ASSERT_NE(started, FALSE);
    ASSERT_EQ(WaitForSingleObject(child.process.Get(), 20000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(child.process.Get(), &exitCode);
    EXPECT_EQ(exitCode, 3u);
}

// "C:\zt\Program Files\Product Folder\ruxserv.exe" unquoted would let
// CreateProcessW start "C:\zt\Program.exe" or "C:\zt\Program Files\Product.exe".
TEST(Quoting, PlantedDecoyIsNeverStarted) {
    RemoveTree(L"C:\\zt\\Program Files");
    const std::wstring folder = L"C:\\zt\\Program Files\\Product Folder";
    MakeDirs(folder);
    const std::wstring real = Recorder(folder + L"\\ruxserv.exe");
    const std::wstring decoys[] = {Recorder(L"C:\\zt\\Program.exe"), Recorder(L"C:\\zt\\Program Files\\Product.exe")};
    const auto decoysStarted = [&decoys] {
        return FileExists(RecordPathOf(decoys[0])) || FileExists(RecordPathOf(decoys[1]));
    };

    // The plant works: an unquoted start runs a decoy.
    {
        std::wstring unquoted = real + L" -install";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_NE(CreateProcessW(nullptr, unquoted.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &info),
                  FALSE);
        ProcessHandles started(info);
        WaitForSingleObject(started.process.Get(), 20000);
        ASSERT_TRUE(decoysStarted());
        ASSERT_FALSE(FileExists(RecordPathOf(real)));
        ClearRecords(decoys[0]);
        ClearRecords(decoys[1]);
    }

    DWORD exitCode = 0;
    EXPECT_EQ(_RunAndWait(real.c_str(), L"-stop", &exitCode), 1);
    EXPECT_NE(_DoCreateProcess(real, L"-start", folder), FALSE);
    for (Launch launch : {Launch::Hidden, Launch::Windowless, Launch::Plain, Launch::Shown}) {
        ProcessHandles child;
        ASSERT_NE(StartChild(launch, real, CommandLineFor(real, L"-install"), child), FALSE);
        WaitForSingleObject(child.process.Get(), 20000);
    }
    const std::vector<StandInRecord> starts = WaitForRecords(real, "start", 6);
    EXPECT_FALSE(decoysStarted());
    ASSERT_EQ(starts.size(), 6u);
    EXPECT_EQ(starts[0].commandLine, L"\"" + real + L"\" -stop");
    const std::vector<std::string> lines = LastLogLines(3);
    std::string label, value;
    ASSERT_TRUE(SplitDoublePrefixed(lines[0], label, value));
    EXPECT_EQ(value, "\"" + Narrow(real) + "\" -start");
}
