// The launchers and launch conventions, with stand-in programs that record the
// command line, current directory and start-up record they were given.
#include <gtest/gtest.h>

#include <optional>

#include "base/Handles.h"
#include "system/ChildProcess.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

using Lines = std::vector<std::string>;

// A program that takes any command line, records its start and its end, and
// ends with 0 unless its settings say otherwise.
std::wstring Recorder(const std::wstring& path) {
    CopyFromBin(L"unins000.exe", path);
    ClearRecords(path);
    ClearSettings(path);
    return path;
}

std::wstring CurrentDir() {
    wchar_t path[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, path);
    return path;
}

StandInRecord OnlyStart(const std::wstring& exe) {
    const std::vector<StandInRecord> starts = ReadRecords(exe, "start");
    EXPECT_EQ(starts.size(), 1u);
    return starts.empty() ? StandInRecord{} : starts.front();
}

// The run log's last three lines, each stamp shown as "<P>".
Lines LastLogLines() {
    const Lines lines = MarkedLogLines(TestProgramFolder());
    return Lines(lines.size() > 3 ? lines.end() - 3 : lines.begin(), lines.end());
}

Lines DoCreateProcessLog(const std::wstring& commandLine, const std::wstring& dir, const char* outcome) {
    return {"<P>_DoCreateProcess : <P>" + ToUtf8(commandLine), "<P>strCurrentDirectory : <P>" + ToUtf8(dir),
            std::string("<P>_DoCreateProcess ") + outcome};
}

ProcessHandles StartRaw(const wchar_t* application, std::wstring commandLine, STARTUPINFOW startup = {}) {
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return {};
    }
    return ProcessHandles(info);
}

}  // namespace

TEST(RunAndWait, CommandLinesReachTheChildAsBuilt) {
    const std::wstring exe = Recorder(FreshDir(L"rw_lines") + L"\\unins000.exe");
    const auto run = [&exe](const wchar_t* path, const std::wstring& parameters) {
        return _RunAndWait(path, parameters.c_str(), 20000).end;
    };
    EXPECT_EQ(run(exe.c_str(), L"/can_uninstall_framework"), ChildRun::End::Ended);
    const StandInRecord start = OnlyStart(exe);
    EXPECT_EQ(start.commandLine, exe + L" /can_uninstall_framework");
    EXPECT_EQ(start.currentDir, CurrentDir());

    // Empty parameters: the path and one trailing space.
    ClearRecords(exe);
    EXPECT_EQ(run(exe.c_str(), L""), ChildRun::End::Ended);
    EXPECT_EQ(OnlyStart(exe).commandLine, exe + L" ");

    // 259 characters are taken.
    ClearRecords(exe);
    const std::wstring fits = L"/p:" + std::wstring(259 - exe.size() - 1 - 3, L'x');
    EXPECT_EQ(run(exe.c_str(), fits), ChildRun::End::Ended);
    EXPECT_EQ(OnlyStart(exe).commandLine, exe + L" " + fits);

    // Refused without starting anything: one character more, or no path (the
    // command line " <exe> -stop" begins with the space, so its first token,
    // the program to start, is empty).
    ClearRecords(exe);
    EXPECT_EQ(run(exe.c_str(), fits + L"y"), ChildRun::End::NotStarted);
    EXPECT_EQ(run(nullptr, exe + L" -stop"), ChildRun::End::NotStarted);
    Sleep(500);  // a wrongly started child would have recorded by now
    EXPECT_FALSE(FileExists(RecordPathOf(exe)));
}

TEST(RunAndWait, HandsBackTheExitCodeAfterTheChildEnded) {
    const std::wstring exe = Recorder(FreshDir(L"rw_exit") + L"\\unins000.exe");
    WriteSettings(exe, {{"exit_code", "3"}, {"delay_ms", "1500"}});
    ChildRun child = _RunAndWait(exe.c_str(), L"-x", 20000);
    EXPECT_EQ(child.end, ChildRun::End::Ended);
    EXPECT_EQ(child.exitCode, 3u);
    EXPECT_EQ(ReadRecords(exe, "exit").size(), 1u);  // it waited for the slow child's end

    WriteSettings(exe, {{"exit_code", "0"}});
    child = _RunAndWait(exe.c_str(), L"-x", 20000);
    EXPECT_EQ(child.end, ChildRun::End::Ended);
    EXPECT_EQ(child.exitCode, 0u);

    // A missing executable is not started.
    EXPECT_EQ(_RunAndWait((FreshDir(L"rw_missing") + L"\\zelserv.exe").c_str(), L"/x", 20000).end,
              ChildRun::End::NotStarted);
    EXPECT_EQ(_RunAndWait(L"\\zelserv.exe", L"/can_uninstall_framework", 20000).end, ChildRun::End::NotStarted);
}

TEST(DoCreateProcess, LogsTwoDoublePrefixedLinesAndStartsInTheDirectoryWithoutWaiting) {
    const std::wstring dir = FreshDir(L"dcp");
    const std::wstring work = FreshDir(L"dcp_work");
    const std::wstring exe = dir + L"\\ruxmain.exe";
    CopyFromBin(L"ruxmain.exe", exe);
    // ruxmain.exe runs until it is ended: the call must come back anyway.
    // Parameters follow one space; without them there is no trailing space.
    for (const wchar_t* parameters : {L"", L"-start"}) {
        ClearRecords(exe);
        const std::wstring commandLine = *parameters ? exe + L" " + parameters : exe;
        EXPECT_NE(_DoCreateProcess(exe, parameters, work), FALSE);
        EXPECT_EQ(LastLogLines(), DoCreateProcessLog(commandLine, work, "Suc"));
        const std::vector<StandInRecord> starts = WaitForRecords(exe, "start", 1);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].commandLine, commandLine);
        EXPECT_EQ(starts[0].currentDir, work);
        EXPECT_EQ(starts[0].startupFlags, 0u);
        EXPECT_EQ(starts[0].showWindow, 0u);
        const KernelHandle child(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, starts[0].pid));
        EXPECT_EQ(WaitForSingleObject(child.Get(), 0), DWORD{WAIT_TIMEOUT}) << "still running";
        TerminateProcess(child.Get(), 1);
        WaitForSingleObject(child.Get(), 5000);
    }

    const std::wstring missing = dir + L"\\ruxserv.exe";
    EXPECT_EQ(_DoCreateProcess(missing, L"-start", dir), FALSE);
    EXPECT_EQ(LastLogLines(), DoCreateProcessLog(missing + L" -start", dir, "Fail"));
}

TEST(LaunchConventions, EachGivesItsStartupRecord) {
    const std::wstring dir = FreshDir(L"conventions");
    const std::wstring work = FreshDir(L"conventions_work");
    STARTUPINFOW own{};
    own.cb = sizeof(own);
    GetStartupInfoW(&own);
    const struct {
        std::optional<Launch> launch;  // none for the shown launch
        const wchar_t* name;
        DWORD flags;
        WORD show;
        const wchar_t* directory;
    } cases[] = {
        {Launch::Hidden, L"hidden", own.dwFlags, SW_HIDE, nullptr},
        {Launch::Windowless, L"windowless", 0, 0, nullptr},
        // This program has standard handles: they are handed on, not left to the fallback.
        {Launch::WindowlessSharingOutput, L"sharing", STARTF_USESTDHANDLES, 0, work.c_str()},
        {Launch::Plain, L"plain", 0, 0, work.c_str()},
        {Launch::Plain, L"plaininherit", 0, 0, nullptr},
        {std::nullopt, L"shown", STARTF_USESHOWWINDOW, SW_SHOW, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.name));
        const std::wstring exe = Recorder(dir + L"\\" + c.name + L".exe");
        ProcessHandles child;
        const BOOL started =
            c.launch ? StartChild(*c.launch, CommandLineFor(exe, L"-go"), child, c.directory) : StartShown(exe, child);
        ASSERT_NE(started, FALSE);
        EXPECT_EQ(WaitForSingleObject(child.process.Get(), 20000), WAIT_OBJECT_0);
        const StandInRecord start = OnlyStart(exe);
        EXPECT_EQ(start.startupFlags, c.flags);
        EXPECT_EQ(start.showWindow, c.show);
        EXPECT_EQ(start.currentDir, c.directory != nullptr ? c.directory : CurrentDir());
        // The shown launch names the executable and passes no command line of its own.
        EXPECT_EQ(start.arguments, c.launch ? L"-go" : L"");
    }
}

// A deployment tool that sends the tool's output to a file gets the sharing
// launch's output there too; the child inherits the standard handles and no
// other inheritable handle of the tool.
TEST(LaunchConventions, SharingHandsOnARedirectedOutputAndNoOtherHandle) {
    const std::wstring dir = FreshDir(L"sharing_output");
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    FileHandle output(CreateFileW((dir + L"\\out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                  CREATE_ALWAYS, 0, nullptr));
    KernelHandle pipeRead, pipeWrite;  // only the child's copy can keep the pipe open
    ASSERT_TRUE(CreatePipe(pipeRead.Put(), pipeWrite.Put(), &inheritable, 0));
    const HANDLE ownOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, output.Get());
    ProcessHandles echo, recorder;
    const std::wstring exe = Recorder(dir + L"\\unins000.exe");
    WriteSettings(exe, {{"delay_ms", "1500"}});
    const BOOL started = StartChild(Launch::WindowlessSharingOutput,
                                    L"C:\\windows\\system32\\cmd.exe /c echo handed on", echo) &&
                         StartChild(Launch::WindowlessSharingOutput, CommandLineFor(exe, L"-go"), recorder);
    SetStdHandle(STD_OUTPUT_HANDLE, ownOutput);
    ASSERT_NE(started, FALSE);
    pipeWrite.Reset();
    EXPECT_EQ(WaitForSingleObject(recorder.process.Get(), 0), DWORD{WAIT_TIMEOUT});
    EXPECT_FALSE(PeekNamedPipe(pipeRead.Get(), nullptr, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BROKEN_PIPE});
    EXPECT_EQ(WaitForSingleObject(echo.process.Get(), 20000), WAIT_OBJECT_0);
    output.Reset();
    EXPECT_EQ(ReadBytes(dir + L"\\out.txt"), "handed on\r\n");
    WaitForSingleObject(recorder.process.Get(), 20000);
}

// A wait or an exit code that cannot be had is told apart from a time-out and
// from an exit code of 0.
TEST(RunAndWait, TellsAFailedWaitAndAnUnreadableExitCode) {
    const std::wstring exe = Recorder(FreshDir(L"rw_access") + L"\\unins000.exe");
    ProcessHandles child;
    ASSERT_NE(StartChild(Launch::Windowless, CommandLineFor(exe, L"-x"), child), FALSE);
    const DWORD id = GetProcessId(child.process.Get());
    const KernelHandle noWait(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    const KernelHandle noQuery(OpenProcess(SYNCHRONIZE, FALSE, id));
    const ChildRun unwaited = WaitForChildWithin(noWait.Get(), 20000);
    const ChildRun unread = WaitForChildWithin(noQuery.Get(), 20000);
    EXPECT_EQ(unwaited.end, ChildRun::End::WaitFailed);
    EXPECT_EQ(unwaited.error, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(unread.end, ChildRun::End::ExitCodeUnreadable);
    EXPECT_EQ(FailedRunText(unread), L"ended, but its exit code could not be read (error 5)");
}

// Runs only as the child of the next test, which starts this program with
// STARTF_USESHOWWINDOW; it makes one hidden launch of the target.
TEST(LaunchHelper, HiddenLaunchFromAParentStartedShown) {
    wchar_t target[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ZT_HIDDEN_TARGET", target, MAX_PATH) == 0) GTEST_SKIP();
    ProcessHandles child;
    ASSERT_NE(StartChild(Launch::Hidden, CommandLineFor(target, L"-hidden"), child), FALSE);
    EXPECT_EQ(WaitForSingleObject(child.process.Get(), 20000), WAIT_OBJECT_0);
}

TEST(LaunchConventions, HiddenKeepsTheToolsOwnFlagsAndHidesTheWindow) {
    const std::wstring exe = Recorder(FreshDir(L"hidden_shown") + L"\\unins000.exe");
    const std::wstring self = ModulePath();
    STARTUPINFOW startup{};
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINNOACTIVE;
    SetEnvironmentVariableW(L"ZT_HIDDEN_TARGET", exe.c_str());
    const ProcessHandles helper =
        StartRaw(self.c_str(), L"\"" + self + L"\" --gtest_filter=LaunchHelper.*", startup);
    SetEnvironmentVariableW(L"ZT_HIDDEN_TARGET", nullptr);
    ASSERT_TRUE(helper.process.Valid());
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
        Launch::Windowless, CommandLineFor(cmd, L"/c if \"%ZT_MARK%\"==\"inherited\" (exit 3) else (exit 4)"), child);
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
    CreateDirectoryChain(folder);
    const std::wstring real = Recorder(folder + L"\\ruxserv.exe");
    const std::wstring decoys[] = {Recorder(L"C:\\zt\\Program.exe"), Recorder(L"C:\\zt\\Program Files\\Product.exe")};
    const auto decoysStarted = [&decoys] {
        return FileExists(RecordPathOf(decoys[0])) || FileExists(RecordPathOf(decoys[1]));
    };

    // The plant works: an unquoted start runs a decoy.
    {
        const ProcessHandles unquoted = StartRaw(nullptr, real + L" -install");
        ASSERT_TRUE(unquoted.process.Valid());
        WaitForSingleObject(unquoted.process.Get(), 20000);
        ASSERT_TRUE(decoysStarted());
        ASSERT_FALSE(FileExists(RecordPathOf(real)));
        ClearRecords(decoys[0]);
        ClearRecords(decoys[1]);
    }

    EXPECT_EQ(_RunAndWait(real.c_str(), L"-stop", 20000).end, ChildRun::End::Ended);
    EXPECT_NE(_DoCreateProcess(real, L"-start", folder), FALSE);
    EXPECT_EQ(LastLogLines(), DoCreateProcessLog(L"\"" + real + L"\" -start", folder, "Suc"));
    for (Launch launch : {Launch::Hidden, Launch::Windowless, Launch::Plain}) {
        ProcessHandles child;
        ASSERT_NE(StartChild(launch, CommandLineFor(real, L"-install"), child), FALSE);
        WaitForSingleObject(child.process.Get(), 20000);
    }
    {
        ProcessHandles child;
        ASSERT_NE(StartShown(real, child), FALSE);
        WaitForSingleObject(child.process.Get(), 20000);
    }
    const std::vector<StandInRecord> starts = WaitForRecords(real, "start", 6);
    EXPECT_FALSE(decoysStarted());
    ASSERT_EQ(starts.size(), 6u);
    EXPECT_EQ(starts[0].commandLine, L"\"" + real + L"\" -stop");
}
