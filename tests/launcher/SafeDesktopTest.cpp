// The tool started on a named desktop ("explorer /desktop=NAME,640x480 ...",
// which needs a display): on the protection product's safe desktop it does
// nothing and exits with 0.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

constexpr DWORD kExitFailure = 0xFFFFFFFF;
using Lines = std::vector<std::string>;

// Explorer starts one program on the new desktop and does not hand back its
// exit code, so this program is started there as a go-between: with
// ZEL_REPORT_TO set it runs ZEL_REPORT_COMMAND (on the same desktop, which its
// child inherits), writes "<exit code>\n<output>" to ZEL_REPORT_TO and ends
// before any test runs.
bool ReportIfAsked() {
    wchar_t reportPath[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ZEL_REPORT_TO", reportPath, MAX_PATH) == 0) return false;
    std::wstring command(32768, L'\0');
    command.resize(GetEnvironmentVariableW(L"ZEL_REPORT_COMMAND", command.data(), 32768));
    const ProcessResult result = RunCommand(command);
    // Written under another name first so the waiting test never reads half a report.
    const std::wstring partial = std::wstring(reportPath) + L".part";
    WriteBytes(partial, std::to_string(result.exitCode) + "\n" + result.output);
    MoveFileExW(partial.c_str(), reportPath, MOVEFILE_REPLACE_EXISTING);
    ExitProcess(0);
}
[[maybe_unused]] const bool kReporter = ReportIfAsked();

// Runs the command on the named desktop; `started` tells whether a report came.
ProcessResult RunOnDesktop(const std::wstring& desktop, const std::wstring& command) {
    const std::wstring report = FreshDir(L"report") + L"\\report.txt";
    const std::wstring self = ModulePath();
    SetEnvironmentVariableW(L"ZEL_REPORT_TO", report.c_str());
    SetEnvironmentVariableW(L"ZEL_REPORT_COMMAND", command.c_str());
    RunCommand(L"explorer /desktop=" + desktop + L",640x480 \"" + self + L"\"");
    SetEnvironmentVariableW(L"ZEL_REPORT_TO", nullptr);
    SetEnvironmentVariableW(L"ZEL_REPORT_COMMAND", nullptr);

    // Explorer may return before its program has ended.
    ProcessResult run;
    for (int waited = 0; waited < 600 && !FileExists(report); ++waited) Sleep(100);
    const std::string bytes = ReadBytes(report);
    const size_t newline = bytes.find('\n');
    if (newline == std::string::npos) return run;
    run.started = true;
    run.exitCode = static_cast<DWORD>(std::stoul(bytes.substr(0, newline)));
    run.output = bytes.substr(newline + 1);
    return run;
}

std::wstring ToolFolder(const std::wstring& name) {
    const std::wstring dir = FreshDir(name);
    PlaceTool(dir);
    return dir;
}

}  // namespace

TEST(SafeDesktop, TheToolDoesNothingThere) {
    for (const wchar_t* desktop : {L"_RUX_SAFEDESKTOP_", L"_rux_SafeDesktop_", L"_RUX_SAFE", L"_"}) {
        for (const wchar_t* option : {L"-?", L"-bogus"}) {
            SCOPED_TRACE(ToUtf8(desktop) + " " + ToUtf8(option));
            const std::wstring dir = ToolFolder(L"safe");
            const ProcessResult run = RunOnDesktop(desktop, L"\"" + dir + L"\\zelunst.exe\" " + option);
            ASSERT_TRUE(run.started);
            EXPECT_EQ(run.exitCode, 0u);
            EXPECT_EQ(run.output, "");
            EXPECT_EQ(LogLines(dir), Lines{});
        }
    }
}

TEST(SafeDesktop, OtherDesktopsRunTheTool) {
    for (const wchar_t* desktop : {L"_RUX_SAFEDESKTOP_X", L"Other", L"RUX_SAFEDESKTOP_"}) {
        SCOPED_TRACE(ToUtf8(desktop));
        const std::wstring dir = ToolFolder(L"other");
        const ProcessResult run = RunOnDesktop(desktop, L"\"" + dir + L"\\zelunst.exe\" -bogus");
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, kExitFailure);
        EXPECT_EQ(LogLines(dir), Lines{"Now, RunHandle"});
    }
}
