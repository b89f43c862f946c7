// What the tool's end-to-end tests cannot see of the stand-ins: the record and
// settings formats, what a start records, a delay really taken, that the
// services start and stop, the installer's clean-up, and the sandbox.
#include <gtest/gtest.h>

#include <algorithm>

#include "standins/common/CommandLineProgram.h"
#include "standins/common/RecordFormat.h"
#include "standins/common/ServiceControl.h"
#include "standins/common/Settings.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"

namespace zeltest {
namespace {

const std::wstring kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";

DWORD RunStandIn(const std::wstring& exe, const std::wstring& parameters) {
    return WaitExitCode(StartProcess(L"\"" + exe + L"\" " + parameters, L"C:\\"));
}

std::wstring Stage(const std::wstring& folder, const std::wstring& program) {
    const std::wstring target = folder + L"\\" + program;
    CopyFromBin(program, target);
    return target;
}

std::wstring RegString(HKEY root, const std::wstring& key, const std::wstring& name) {
    wchar_t value[1024] = {};
    DWORD bytes = sizeof(value);
    if (RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                     value, &bytes) != ERROR_SUCCESS) {
        return L"<absent>";
    }
    return value;
}

TEST(StandInFormat, RecordLinesKeepTabsLineBreaksAndPercentsAndSurviveTruncation) {
    const std::string value = "C:\\A b\\x.exe\t-opt\r\n100%25 %";
    const std::string line = standin::FormatRecordLine({{"event", "start"}, {"cmdline", value}, {"empty", ""}});
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 2) << "a tab in a value never splits it";
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    EXPECT_NE(line.find("cmdline=C:\\A b\\x.exe%09-opt%0D%0A100%2525 %25"), std::string::npos) << line;

    // A second line cut short (a crash mid-write) still gives its fields.
    const auto records = standin::ParseRecords(line + "event=exit\tpid=7\tcwd=C:\\%");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Get("cmdline"), value);
    EXPECT_TRUE(records[0].Has("empty"));
    EXPECT_EQ(records[0].Get("empty"), "");
    EXPECT_EQ(records[1].Get("pid"), "7");
    EXPECT_EQ(records[1].Get("cwd"), "C:\\%");
    EXPECT_FALSE(records[1].Has("missing"));
}

TEST(StandInFormat, SettingsScopeKeysToOptionsAndReadNumbersAndFlags) {
    const standin::Settings settings = standin::Settings::Parse(
        "# a comment\r\n"
        "  Delay_MS = 250 \r\n"
        "uninstall.delay_ms=7000\n"
        "exit_code=0x80004005\n"
        "can_uninstall_framework.exit_code=-1\n"
        "hang=yes\n"
        "uninstall.hang=0\n"
        "stop_wait_ms=12ab\n"
        "no equals sign\n");
    EXPECT_EQ(settings.Number(L"/uninstall", standin::kDelayMs, 1), 7000u);
    EXPECT_EQ(settings.Number(L"/uninstall_product", standin::kDelayMs, 1), 250u);
    EXPECT_EQ(settings.Number(L"", standin::kDelayMs, 1), 250u);
    EXPECT_EQ(settings.Number(L"/uninstall", standin::kExitCode, 1), 0x80004005u);
    EXPECT_EQ(settings.Number(L"/can_uninstall_framework", standin::kExitCode, 1), 0xFFFFFFFFu);
    EXPECT_EQ(settings.Number(L"-stop", standin::kStopWaitMs, 30000), 30000u) << "malformed falls back";
    EXPECT_EQ(settings.Number(L"-stop", standin::kStopDelayMs, 5), 5u) << "absent falls back";
    EXPECT_TRUE(settings.Flag(L"-install", standin::kHang));
    EXPECT_FALSE(settings.Flag(L"/uninstall", standin::kHang));
    EXPECT_EQ(settings.Values().size(), 7u);
    EXPECT_EQ(standin::OptionScope(L"-installproduct"), "installproduct");
}

// A delay that were not taken would let the tests of the tool's waits pass
// without a slow child.
TEST(StandInPrograms, RecordTheirStartRefuseUnknownOptionsAndTakeTheirDelay) {
    const std::wstring deinstall = Stage(FreshDir(L"programs"), L"deinstall.exe");
    const std::wstring cwd = FreshDir(L"elsewhere");
    // Unquoted, with its spacing kept as given.
    const std::wstring commandLine = deinstall + L" /uninstall  x ";
    const ProcessHandles hidden = StartProcess(commandLine, cwd, STARTF_USESHOWWINDOW, SW_HIDE);
    EXPECT_EQ(WaitExitCode(hidden), 0u);
    EXPECT_EQ(RunStandIn(deinstall, L"/UnInstall"), 0u);
    EXPECT_EQ(RunStandIn(deinstall, L"/bogus"), standin::kUnknownOptionExitCode);

    const auto starts = ReadRecords(deinstall, "start");
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(starts[0].commandLine, commandLine);
    EXPECT_EQ(starts[0].currentDir, cwd);
    EXPECT_EQ(starts[0].startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(starts[0].showWindow, SW_HIDE);
    EXPECT_EQ(starts[0].option, "/uninstall");
    EXPECT_EQ(starts[0].arguments, L"/uninstall x");
    EXPECT_EQ(starts[0].pid, GetProcessId(hidden.process.Get()));
    EXPECT_EQ(starts[1].option, "/uninstall");
    EXPECT_EQ(starts[2].option, "");
    EXPECT_EQ(starts[2].arguments, L"/bogus");
    EXPECT_EQ(ReadRecords(deinstall, "exit").back().Field("exit_code"), "87");

    WriteSettings(deinstall, {{"uninstall.delay_ms", "3000"}, {"exit_code", "3"}});
    const ProcessHandles slow = StartProcess(L"\"" + deinstall + L"\" /uninstall");
    EXPECT_FALSE(HasEnded(slow, 500));
    EXPECT_EQ(WaitExitCode(slow), 3u);
    EXPECT_GE(TickOf(ReadRecords(deinstall, "exit").back()) - TickOf(ReadRecords(deinstall, "start").back()), 2500u)
        << "about three seconds (the tick counter is coarse)";
}

TEST(StandInServices, RuxservInstallsStartsAndStopsItsService) {
    const std::wstring ruxserv = Stage(FreshDir(L"Rux Product"), L"ruxserv.exe");

    EXPECT_EQ(RunStandIn(ruxserv, L"-stop"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(RunStandIn(ruxserv, L"-install"), 0u);
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, kServicesKey + L"ruxserv", L"ImagePath"), L"\"" + ruxserv + L"\"");
    EXPECT_EQ(RunStandIn(ruxserv, L"-start"), 0u);
    EXPECT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 20000));
    EXPECT_EQ(ReadRecords(ruxserv, "service_start").size(), 1u);
    EXPECT_EQ(RunStandIn(ruxserv, L"-stop"), 0u);
    EXPECT_EQ(standin::QueryServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_STOPPED))
        << "-stop ends once it has stopped";
    EXPECT_EQ(ReadRecords(ruxserv, "service_stopped").size(), 1u);
    standin::RemoveService(L"ruxserv", 0);
}

TEST(StandInInstaller, InstalledServicesRunAndCleanUpEndsEverything) {
    const StandInProduct product = InstallStandInProduct(FreshDir(L"Program Files\\Product"), FreshDir(L"Engine"));

    // Both services run from where they were installed.
    WriteSettings(product.EngineService(), {{"refuse_stop", "1"}});
    ASSERT_EQ(standin::StartServiceByName(L"zelserv"), 0u);
    ASSERT_EQ(standin::StartServiceByName(L"ruxserv"), 0u);
    EXPECT_TRUE(standin::WaitForServiceState(L"zelserv", SERVICE_RUNNING, 20000));
    EXPECT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 20000));
    EXPECT_EQ(WaitForRecords(product.EngineService(), "service_start", 1).size(), 1u);
    EXPECT_EQ(WaitForRecords(product.ProductService(), "service_start", 1).size(), 1u);
    const ProcessHandles main = StartProcess(L"\"" + product.MainProgram() + L"\"");
    ASSERT_EQ(WaitForRecords(product.MainProgram(), "start", 1).size(), 1u);

    // Clean-up ends the main program and even the refusing service.
    standin::UninstallStandInProduct();
    EXPECT_TRUE(HasEnded(main));
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), 0u);
    EXPECT_EQ(standin::QueryServiceState(L"ruxserv"), 0u);
    EXPECT_EQ(ReadRecords(product.EngineService(), "service_stopped").size(), 1u);
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"RUXMain"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kServicesKey + L"nydkernel"));

    // The tests' clean-up also ends a child left running in the product folder.
    WriteSettings(product.Deinstaller(), {{"hang", "1"}});
    const ProcessHandles left = StartProcess(L"\"" + product.Deinstaller() + L"\" /uninstall");
    ASSERT_EQ(WaitForRecords(product.Deinstaller(), "hang", 1).size(), 1u);
    UninstallStandInProduct(product);
    EXPECT_TRUE(HasEnded(left));
    EXPECT_TRUE(DeleteFileW(product.Deinstaller().c_str())) << GetLastError();
}

TEST(StandInInstaller, SandboxInstallsStartsShowsAndRemovesTheProduct) {
    const std::wstring sandbox = L"\"" + BinDir() + L"\\zelsandbox.exe\" ";
    const std::wstring productDir = FreshDir(L"Sandbox Product");
    const std::wstring engineDir = FreshDir(L"SandboxEngine");
    const std::wstring dirs = L"\"" + productDir + L"\" " + engineDir;

    EXPECT_EQ(RunCommand(sandbox + L"install").exitCode, 2u);
    EXPECT_EQ(RunCommand(sandbox + L"install " + dirs + L" --without-nothing").exitCode, 2u);
    const ProcessResult installed = RunCommand(sandbox + L"install " + dirs + L" --without-uninstaller");
    EXPECT_EQ(installed.exitCode, 0u) << installed.output;
    EXPECT_TRUE(FileExists(productDir + L"\\zelunst.exe"));
    EXPECT_FALSE(FileExists(productDir + L"\\uninstall\\unins000.exe"));

    EXPECT_EQ(RunCommand(sandbox + L"settings \"" + productDir + L"\\ruxserv.exe\" stop_delay_ms=200").exitCode, 0u);
    EXPECT_EQ(ReadBytes(productDir + L"\\ruxserv.settings"), "stop_delay_ms=200\r\n");
    const ProcessResult started = RunCommand(sandbox + L"start-product");
    EXPECT_EQ(started.exitCode, 0u) << started.output;
    EXPECT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 20000));
    EXPECT_TRUE(standin::WaitForServiceState(L"zelserv", SERVICE_RUNNING, 20000));
    ASSERT_EQ(WaitForRecords(productDir + L"\\ruxmain.exe", "start", 1).size(), 1u);

    const ProcessResult state = RunCommand(sandbox + L"state");
    EXPECT_EQ(state.exitCode, 0u);
    for (const std::string& expected : std::vector<std::string>
         {"service zelserv: RUNNING, " + ToUtf8(engineDir) + "\\zelserv.exe",
          "service ruxserv: RUNNING, " + ToUtf8(productDir) + "\\ruxserv.exe", "Run value RUXMain: \"",
          ToUtf8(productDir) + "\\ruxmain.record:", ToUtf8(engineDir) + "\\zelserv.record:", "  service_start  pid="}) {
        EXPECT_NE(state.output.find(expected), std::string::npos) << expected << "\n" << state.output;
    }

    EXPECT_EQ(RunCommand(sandbox + L"uninstall").exitCode, 0u);
    EXPECT_EQ(standin::QueryServiceState(L"ruxserv"), 0u);
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), 0u);
    const ProcessResult after = RunCommand(sandbox + L"state " + dirs);
    for (const char* expected : {"service ruxserv: not installed", "Run value RUXMain: absent", "  service_stopped"}) {
        EXPECT_NE(after.output.find(expected), std::string::npos) << expected << "\n" << after.output;
    }
}

}  // namespace
}  // namespace zeltest
