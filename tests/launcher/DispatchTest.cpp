// The whole exe, started as a console user would start it.
#include <gtest/gtest.h>

#include "base/Handles.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

constexpr DWORD kExitFailure = 0xFFFFFFFF;
using Lines = std::vector<std::string>;

// zelunst.exe in C:\zt\<name>, with the stand-in solution library installed.
std::wstring ToolFolder(const std::wstring& name) {
    const std::wstring dir = FreshDir(name);
    PlaceTool(dir, L"zeldecs.dll");
    return dir;
}

// The calls the stand-in solution library received, one per line.
std::string SolutionRecord(const std::wstring& dir) {
    return ReadBytes(dir + L"\\subsystem\\zelde\\zeldecs.record");
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const char kUsage[] =
    "\r\n*******************USE AGE*******************\r\n"
    "syntax:\r\n"
    "\\zelunst [option] param\r\n"
    "option:\r\n"
    "\t-install    install defend engine\r\n"
    "example:\r\n"
    "\tzelunst -install \r\n"
    "\t-uninstall  uninstall defend engine\r\n"
    "example:\r\n"
    "\tzelunst -uninstall \r\n"
    "\t-?  zelunst help msg\r\n"
    "example:\r\n"
    "\tzelunst -? \r\n";

}  // namespace

TEST(DispatchOptions, UsageAndOptionsIgnoringCaseAndLaterArguments) {
    const struct {
        const wchar_t* arguments;
        const char* output;
        const char* call;  // what the solution library must have received
        Lines log;
    } cases[] = {
        {L"-?", kUsage, "", {"Now, RunHandle"}},  // printed to the console
        {L"-? -install", kUsage, "", {"Now, RunHandle"}},
        {L"\"-?\"", kUsage, "", {"Now, RunHandle"}},
        {L"-INSTALL", "", "\r\nInstall 0\r\n", {"Now, RunHandle"}},
        {L"-Install extra", "", "\r\nInstall 0\r\n", {"Now, RunHandle"}},
        {L"\"-install\" -uninstall", "", "\r\nInstall 0\r\n", {"Now, RunHandle"}},
        {L"-UNINSTALL", "", "\r\nUninstall\r\n", {"Now, RunHandle", "Now, _DoUnInstall"}},
        {L"-UnInstall -install", "", "\r\nUninstall\r\n", {"Now, RunHandle", "Now, _DoUnInstall"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.arguments));
        const std::wstring dir = ToolFolder(L"options");
        const ProcessResult result = RunToolIn(dir, c.arguments);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.output, c.output);
        const std::string record = SolutionRecord(dir);
        EXPECT_TRUE(*c.call ? Contains(record, c.call) : record.empty()) << record;
        EXPECT_EQ(LogLines(dir), c.log);
    }
    // With nothing of the product around the update fails early; a failed
    // update exits with its own result, 0.
    const std::wstring dir = ToolFolder(L"smoothupdate");
    EXPECT_EQ(RunToolIn(dir, L"-SmoothUpdate extra").exitCode, 0u);
    const Lines lines = LogLines(dir);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Now, RunHandle");
}

TEST(DispatchOptions, UnknownOptionsExitWithFailureAndLogOnlyTheStart) {
    const Lines start{"Now, RunHandle"};
    const struct {
        const wchar_t* arguments;
        Lines log;
    } cases[] = {
        {L"-bogus", start}, {L"install", start}, {L"/install", start}, {L"--install", start},
        {L"-install-now", start}, {L"-", start}, {L"\"\"", start}, {L"-smooth", start},
        {L"-recordkeeper", start}, {L"-recordkeeper 4", start}, {L"-RecordKeeper 4 400000", start},
        // A record keeper's command line, but no run handed anything over: a
        // keeper that cannot reach its run ends at once, and runs no job.
        {L"-recordkeeper 4 400000", {}}, {L"-recordkeeper 0 0", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.arguments));
        const std::wstring dir = ToolFolder(L"unknown");
        const ProcessResult result = RunToolIn(dir, c.arguments);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, kExitFailure);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(LogLines(dir), c.log);
        EXPECT_FALSE(FileExists(dir + L"\\subsystem\\zelde\\zeldecs.record"));
    }
}

TEST(DispatchRemoval, NoOptionRemovesTheProduct) {
    // The service program is the tool itself under another name: its "-stop"
    // run adds a second "Now, RunHandle" to the shared log, marked with its
    // process, since the first run still writes the log. The "ruxserv"
    // service is installed and stopped, and the uninstaller is another copy
    // that finds no service program beside it and ends at once.
    const std::wstring dir = ToolFolder(L"removal");
    CopyFromBin(L"zelunst.exe", dir + L"\\ruxserv.exe");
    CopyFromBin(L"zelunst.exe", dir + L"\\uninstall\\unins000.exe");
    ASSERT_EQ(standin::RegisterService(L"ruxserv", dir + L"\\ruxserv.exe"), DWORD{ERROR_SUCCESS});
    const ProcessResult result = RunToolIn(dir, L"");
    standin::RemoveService(L"ruxserv", 0);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "");
    Lines log = LogLines(dir);
    for (std::string& line : log) line = MarkProcessIds(line);
    EXPECT_EQ(log, (Lines{"Now, RunHandle", "process <pid>: Now, RunHandle"}));
}

TEST(DispatchPlacement, LogStaysBesideTheExeFromAnotherCurrentDirectory) {
    const std::wstring dir = ToolFolder(L"placed");
    const std::wstring elsewhere = FreshDir(L"elsewhere");
    const ProcessResult result = RunToolIn(dir, L"-install", elsewhere);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(LogLines(dir), Lines{"Now, RunHandle"});
    EXPECT_FALSE(FileExists(RunLogPath(elsewhere)));
}

TEST(DispatchPlacement, UnwritableLogDoesNotStopTheWork) {
    // A log that another process holds without sharing cannot be opened. (A
    // read-only file or folder is no test under Wine run as root: Wine keeps
    // read-only as Unix mode bits, which do not stop root from writing.)
    const std::wstring dir = ToolFolder(L"locked");
    WriteBytes(RunLogPath(dir), "kept\r\n");
    {
        FileHandle lock(CreateFileW(RunLogPath(dir).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock.Valid());
        const ProcessResult result = RunToolIn(dir, L"-uninstall");
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_TRUE(Contains(SolutionRecord(dir), "\r\nUninstall\r\n")) << SolutionRecord(dir);
    }
    EXPECT_EQ(ReadBytes(RunLogPath(dir)), "kept\r\n");
}

TEST(DispatchUnprivileged, ReadOnlyLogDoesNotStopTheWork) {
    const std::wstring dir = ToolFolder(L"readonly");
    WriteBytes(RunLogPath(dir), "kept\r\n");
    SetFileAttributesW(RunLogPath(dir).c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(RunToolIn(dir, L"-uninstall").exitCode, 0u);
    EXPECT_EQ(ReadBytes(RunLogPath(dir)), "kept\r\n");
}

TEST(DispatchPlacement, InitFailureExitsZeroAndLogsNothing) {
    // The folder fits, the solution library's path beneath it does not.
    const std::wstring dir = FreshDir(L"long\\" + std::wstring(200, L'a') + L"\\" + std::wstring(20, L'b'));
    ASSERT_LT(dir.size() + sizeof("\\zelunst.exe") - 1, size_t{MAX_PATH});
    ASSERT_GT(dir.size() + sizeof("\\subsystem\\zelde\\zeldecs.dll") - 1, size_t{MAX_PATH - 1});
    PlaceTool(dir);
    for (const wchar_t* arguments : {L"-?", L"-bogus"}) {
        SCOPED_TRACE(ToUtf8(arguments));
        const ProcessResult result = RunToolIn(dir, arguments);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(LogLines(dir), Lines{});
    }
}
