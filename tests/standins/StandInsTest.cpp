// The stand-in products under Wine: what they record, how their settings make
// them misbehave, their services with the real service manager, and the
// installed stand-in product.
#include <gtest/gtest.h>

#include <algorithm>

#include "standins/common/CommandLineProgram.h"
#include "standins/common/RecordFormat.h"
#include "standins/common/ServiceControl.h"
#include "standins/common/Settings.h"
#include "system/Handles.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"

namespace zeltest {
namespace {

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

struct Launch {
    std::wstring applicationName;  // "" for none
    std::wstring commandLine;      // "" for none
    std::wstring currentDir;       // "" to inherit
    DWORD creationFlags = CREATE_NO_WINDOW;
    DWORD startupFlags = 0;
    WORD showWindow = 0;
};

ProcessHandles Start(const Launch& launch) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = launch.startupFlags;
    startup.wShowWindow = launch.showWindow;
    PROCESS_INFORMATION info{};
    std::wstring commandLine = launch.commandLine;
    if (!CreateProcessW(launch.applicationName.empty() ? nullptr : launch.applicationName.c_str(),
                        commandLine.empty() ? nullptr : commandLine.data(), nullptr, nullptr, FALSE,
                        launch.creationFlags, nullptr, launch.currentDir.empty() ? nullptr : launch.currentDir.c_str(),
                        &startup, &info)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return ProcessHandles();
    }
    return ProcessHandles(info);
}

DWORD WaitExitCode(const ProcessHandles& process, DWORD timeoutMs = 60000) {
    if (WaitForSingleObject(process.process.Get(), timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.process.Get(), &code);
    return code;
}

// Runs "<exe> <parameters>" windowless from a scratch folder and waits.
DWORD RunStandIn(const std::wstring& exe, const std::wstring& parameters) {
    const ProcessHandles process = Start({L"", L"\"" + exe + L"\" " + parameters, L"C:\\", CREATE_NO_WINDOW});
    return WaitExitCode(process);
}

bool StillRunningAfter(const ProcessHandles& process, DWORD ms) {
    return WaitForSingleObject(process.process.Get(), ms) == WAIT_TIMEOUT;
}

std::wstring Stage(const std::wstring& folder, const std::wstring& program) {
    const std::wstring target = folder + L"\\" + program;
    CopyFromBin(program, target);
    EXPECT_TRUE(FileExists(target)) << Narrow(target);
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

DWORD StopControl(const std::wstring& name) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_STOP));
    SERVICE_STATUS status{};
    if (!service) return GetLastError();
    return ControlService(service.Get(), SERVICE_CONTROL_STOP, &status) ? ERROR_SUCCESS : GetLastError();
}

unsigned long long Tick(const StandInRecord& record) { return std::stoull(record.Field("tick")); }

// ---------------------------------------------------------------------------

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

TEST(StandInPrograms, RecordTheirCommandLineFolderAndStartUpRecord) {
    const std::wstring folder = FreshDir(L"programs");
    const std::wstring deinstall = Stage(folder, L"deinstall.exe");
    const std::wstring cwd = FreshDir(L"elsewhere");

    // Unquoted, with its spacing kept as given.
    const std::wstring commandLine = deinstall + L" /uninstall  x ";
    const ProcessHandles hidden =
        Start({L"", commandLine, cwd, CREATE_NO_WINDOW, STARTF_USESHOWWINDOW, SW_HIDE});
    EXPECT_EQ(WaitExitCode(hidden), 0u);

    const std::wstring izelreg = Stage(folder, L"izelreg.exe");
    const ProcessHandles plain = Start({L"", L"\"" + izelreg + L"\" zelreg.ini", L"", 0, 0, 0});
    EXPECT_EQ(WaitExitCode(plain), 0u);

    // Shown launch: application name only, no command line.
    const std::wstring unins = Stage(folder + L"\\uninstall", L"unins000.exe");
    const ProcessHandles shown = Start({unins, L"", L"", 0, STARTF_USESHOWWINDOW, SW_SHOW});
    EXPECT_EQ(WaitExitCode(shown), 0u);

    const auto deinstallStarts = ReadRecords(deinstall, "start");
    ASSERT_EQ(deinstallStarts.size(), 1u);
    EXPECT_EQ(deinstallStarts[0].commandLine, commandLine);
    EXPECT_EQ(deinstallStarts[0].currentDir, cwd);
    EXPECT_EQ(deinstallStarts[0].startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(deinstallStarts[0].showWindow, SW_HIDE);
    EXPECT_EQ(deinstallStarts[0].option, "/uninstall");
    EXPECT_EQ(deinstallStarts[0].arguments, L"/uninstall x");
    EXPECT_EQ(deinstallStarts[0].pid, GetProcessId(hidden.process.Get()));
    const auto deinstallExits = ReadRecords(deinstall, "exit");
    ASSERT_EQ(deinstallExits.size(), 1u);
    EXPECT_EQ(deinstallExits[0].Field("exit_code"), "0");

    const auto izelregStarts = ReadRecords(izelreg, "start");
    ASSERT_EQ(izelregStarts.size(), 1u);
    EXPECT_EQ(izelregStarts[0].option, "zelreg.ini");
    EXPECT_EQ(izelregStarts[0].startupFlags, 0u);
    EXPECT_NE(izelregStarts[0].currentDir, cwd);

    const auto uninsStarts = ReadRecords(unins, "start");
    ASSERT_EQ(uninsStarts.size(), 1u);
    EXPECT_EQ(uninsStarts[0].startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(uninsStarts[0].showWindow, SW_SHOW);
    EXPECT_EQ(uninsStarts[0].arguments, L"");
    EXPECT_NE(uninsStarts[0].commandLine.find(L"unins000.exe"), std::wstring::npos);
    EXPECT_TRUE(FileExists(unins)) << "the uninstaller removes nothing";

    // Wine hands a child started by an unquoted path with a space the path
    // quoted (Windows passes the command line unchanged); both name the program.
    const std::wstring spaced = Stage(FreshDir(L"Spaced Dir"), L"deinstall.exe");
    EXPECT_EQ(WaitExitCode(Start({L"", spaced + L" /uninstall", L"", CREATE_NO_WINDOW})), 0u);
    const auto spacedStarts = ReadRecords(spaced, "start");
    ASSERT_EQ(spacedStarts.size(), 1u);
    EXPECT_TRUE(spacedStarts[0].commandLine == spaced + L" /uninstall" ||
                spacedStarts[0].commandLine == L"\"" + spaced + L"\" /uninstall")
        << Narrow(spacedStarts[0].commandLine);

    // Options match without regard to case; one the program does not know is
    // refused and named nowhere.
    EXPECT_EQ(RunStandIn(deinstall, L"/UnInstall"), 0u);
    EXPECT_EQ(RunStandIn(deinstall, L"/bogus"), standin::kUnknownOptionExitCode);
    const auto all = ReadRecords(deinstall, "start");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].option, "/uninstall");
    EXPECT_EQ(all[2].option, "");
    EXPECT_EQ(all[2].arguments, L"/bogus");
    EXPECT_EQ(ReadRecords(deinstall, "exit").back().Field("exit_code"), "87");
}

TEST(StandInPrograms, SettingsMakeThemSlowHungOrFailing) {
    const std::wstring folder = FreshDir(L"knobs");
    const std::wstring zelserv = Stage(folder, L"zelserv.exe");

    // Defaults: the framework may go (non-zero), the other options end with 0.
    EXPECT_EQ(RunStandIn(zelserv, L"/can_uninstall_framework"), 1u);
    EXPECT_EQ(RunStandIn(zelserv, L"/uninstall_product 0x000A0000"), 0u);
    const auto product = ReadRecords(zelserv, "start").back();
    EXPECT_EQ(product.option, "/uninstall_product");
    EXPECT_EQ(product.arguments, L"/uninstall_product 0x000A0000");

    WriteSettings(zelserv, {{"exit_code", "3"}, {"can_uninstall_framework.exit_code", "0"}});
    EXPECT_EQ(RunStandIn(zelserv, L"/can_uninstall_framework"), 0u);
    EXPECT_EQ(RunStandIn(zelserv, L"/uninstall"), 3u);
    const auto exits = ReadRecords(zelserv, "exit");
    ASSERT_EQ(exits.size(), 4u);
    EXPECT_EQ(exits[3].Field("result"), "0");
    EXPECT_EQ(exits[3].Field("exit_code"), "3");

    // Slow: still running well before its delay, then ends by itself.
    WriteSettings(zelserv, {{"uninstall.delay_ms", "3000"}});
    const ProcessHandles slow = Start({L"", L"\"" + zelserv + L"\" /uninstall", L"", CREATE_NO_WINDOW});
    EXPECT_TRUE(StillRunningAfter(slow, 500));
    EXPECT_EQ(WaitExitCode(slow), 0u);
    EXPECT_GE(Tick(ReadRecords(zelserv, "exit").back()) - Tick(ReadRecords(zelserv, "start").back()), 2500u)
        << "about three seconds (the tick counter is coarse)";

    // Hung: records that it hangs and never ends by itself.
    WriteSettings(zelserv, {{"hang", "1"}});
    const ProcessHandles hung = Start({L"", L"\"" + zelserv + L"\" /uninstall", L"", CREATE_NO_WINDOW});
    ASSERT_EQ(WaitForRecords(zelserv, "hang", 1).size(), 1u);
    EXPECT_TRUE(StillRunningAfter(hung, 1000));
    TerminateProcess(hung.process.Get(), 9);
    WaitForSingleObject(hung.process.Get(), 5000);
}

TEST(StandInPrograms, ManyAtOnceAppendWholeLines) {
    const std::wstring folder = FreshDir(L"crowd");
    const std::wstring izelreg = Stage(folder, L"izelreg.exe");
    std::vector<ProcessHandles> processes;
    for (int i = 0; i < 12; ++i) {
        processes.push_back(Start({L"", L"\"" + izelreg + L"\" zelreg.ini " + std::to_wstring(i), L"",
                                   CREATE_NO_WINDOW}));
    }
    for (const ProcessHandles& process : processes) EXPECT_EQ(WaitExitCode(process), 0u);
    const auto records = ReadRecords(izelreg);
    ASSERT_EQ(records.size(), 24u);
    for (const StandInRecord& record : records) {
        EXPECT_TRUE(record.event == "start" || record.event == "exit") << record.event;
        EXPECT_NE(record.pid, 0u);
        EXPECT_EQ(record.option, "zelreg.ini");
    }
}

TEST(StandInPrograms, MainProgramRunsUntilEndedHoldsItsFileAndTheUpdateMutex) {
    const std::wstring folder = FreshDir(L"main");
    const std::wstring ruxmain = Stage(folder, L"ruxmain.exe");
    WriteText(folder + L"\\settings.cfg", "x=1\r\n");

    WriteSettings(ruxmain, {{"hold_file", "settings.cfg"}, {"update_mutex_ms", "1500"}});
    const ProcessHandles running = Start({L"", L"\"" + ruxmain + L"\"", L"", CREATE_NO_WINDOW});
    ASSERT_EQ(WaitForRecords(ruxmain, "mutex_owned", 1).size(), 1u);
    const auto held = ReadRecords(ruxmain, "hold_file");
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].Field("error"), "0");
    {
        FileHandle other(CreateFileW((folder + L"\\settings.cfg").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(other.Valid());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(MoveFileExW((folder + L"\\settings.cfg").c_str(), (folder + L"\\settings.cfg.bak").c_str(),
                                 MOVEFILE_REPLACE_EXISTING));
    }
    KernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, L"A73097BB-7BF9-4f0b-A85E-41FB375C0B50"));
    ASSERT_TRUE(mutex.Valid());
    EXPECT_EQ(WaitForSingleObject(mutex.Get(), 20000), WAIT_OBJECT_0) << "released after its time";
    ReleaseMutex(mutex.Get());
    EXPECT_TRUE(StillRunningAfter(running, 1000)) << "runs on until it is ended";
    TerminateProcess(running.process.Get(), 0);
    WaitForSingleObject(running.process.Get(), 5000);
    EXPECT_TRUE(MoveFileExW((folder + L"\\settings.cfg").c_str(), (folder + L"\\settings.cfg.bak").c_str(),
                            MOVEFILE_REPLACE_EXISTING))
        << "free once it is gone";
    EXPECT_TRUE(ReadRecords(ruxmain, "exit").empty());
    mutex.Reset();

    // Owning the mutex to the end and ending by itself leaves it abandoned.
    WriteSettings(ruxmain, {{"update_mutex_ms", "-1"}, {"delay_ms", "300"}, {"exit_code", "4"}});
    const ProcessHandles leaving = Start({L"", L"\"" + ruxmain + L"\"", L"", CREATE_NO_WINDOW});
    ASSERT_EQ(WaitForRecords(ruxmain, "mutex_owned", 2).size(), 2u);
    KernelHandle abandoned(OpenMutexW(SYNCHRONIZE, FALSE, L"A73097BB-7BF9-4f0b-A85E-41FB375C0B50"));
    ASSERT_TRUE(abandoned.Valid());
    EXPECT_EQ(WaitForSingleObject(abandoned.Get(), 20000), WAIT_ABANDONED);
    ReleaseMutex(abandoned.Get());
    EXPECT_EQ(WaitExitCode(leaving), 4u);
}

// ---------------------------------------------------------------------------

TEST(StandInServices, RuxservInstallsStartsAndStopsItsService) {
    const std::wstring folder = FreshDir(L"Rux Product");
    const std::wstring ruxserv = Stage(folder, L"ruxserv.exe");

    EXPECT_EQ(RunStandIn(ruxserv, L"-stop"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(RunStandIn(ruxserv, L"-install"), 0u);
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, std::wstring(kServicesKey) + L"ruxserv", L"ImagePath"),
              L"\"" + ruxserv + L"\"");
    EXPECT_EQ(ServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(RunStandIn(ruxserv, L"-install"), 0u) << "a second install keeps the service";

    EXPECT_EQ(RunStandIn(ruxserv, L"-installproduct"), 0u);
    EXPECT_EQ(RunStandIn(ruxserv, L"-start"), 0u);
    EXPECT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 20000));
    const auto serviceStarts = ReadRecords(ruxserv, "service_start");
    ASSERT_EQ(serviceStarts.size(), 1u);
    EXPECT_EQ(serviceStarts[0].Field("service"), "ruxserv");
    EXPECT_EQ(serviceStarts[0].Field("accepts_stop"), "1");
    EXPECT_NE(serviceStarts[0].commandLine.find(ruxserv), std::wstring::npos);

    EXPECT_EQ(RunStandIn(ruxserv, L"-stop"), 0u);
    EXPECT_EQ(ServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_STOPPED)) << "-stop ends once it has stopped";
    ASSERT_EQ(ReadRecords(ruxserv, "stop_request").size(), 1u);
    ASSERT_EQ(ReadRecords(ruxserv, "service_stopped").size(), 1u);
    EXPECT_EQ(RunStandIn(ruxserv, L"-stop"), 0u) << "already stopped";

    std::vector<std::string> options;
    for (const StandInRecord& start : ReadRecords(ruxserv, "start")) options.push_back(start.option);
    EXPECT_EQ(options, (std::vector<std::string>{"-stop", "-install", "-install", "-installproduct", "-start",
                                                  "-stop", "-stop"}));
    RemoveTestService(L"ruxserv");
}

TEST(StandInServices, StopLateOrRefuseToStopAsTheirSettingsSay) {
    const std::wstring engine = FreshDir(L"engine");
    const std::wstring zelserv = Stage(engine, L"zelserv.exe");
    ASSERT_EQ(standin::RegisterService(L"zelserv", zelserv), 0u);

    // Stops late: STOP_PENDING at once, STOPPED about 1.5 s after the control.
    WriteSettings(zelserv, {{"stop_delay_ms", "1500"}});
    ASSERT_TRUE(StartTestService(L"zelserv"));
    ASSERT_TRUE(WaitServiceState(L"zelserv", SERVICE_RUNNING, 20000));
    EXPECT_EQ(StopControl(L"zelserv"), 0u);
    EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_TRUE(WaitServiceState(L"zelserv", SERVICE_STOPPED, 20000));
    const auto request = ReadRecords(zelserv, "stop_request");
    const auto stopped = ReadRecords(zelserv, "service_stopped");
    ASSERT_EQ(request.size(), 1u);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(request[0].Field("stop_delay_ms"), "1500");
    EXPECT_GE(Tick(stopped[0]) - Tick(request[0]), 1400u) << "about 1.5 s (the tick counter is coarse)";

    // Refuses: the control is not accepted and the service stays running,
    // until the setting goes away while it runs.
    WriteSettings(zelserv, {{"refuse_stop", "1"}});
    ASSERT_TRUE(StartTestService(L"zelserv"));
    ASSERT_TRUE(WaitServiceState(L"zelserv", SERVICE_RUNNING, 20000));
    EXPECT_EQ(StopControl(L"zelserv"), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    Sleep(1000);
    EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ReadRecords(zelserv, "service_start").back().Field("accepts_stop"), "0");
    ClearSettings(zelserv);
    ASSERT_EQ(WaitForRecords(zelserv, "accepts_stop", 1).size(), 1u);
    EXPECT_EQ(StopControl(L"zelserv"), 0u);
    EXPECT_TRUE(WaitServiceState(L"zelserv", SERVICE_STOPPED, 20000));
    RemoveTestService(L"zelserv");
}

TEST(StandInServices, RuxservStopWaitsOnlyAsLongAsToldAndReportsARefusal) {
    const std::wstring folder = FreshDir(L"rux2");
    const std::wstring ruxserv = Stage(folder, L"ruxserv.exe");
    ASSERT_EQ(RunStandIn(ruxserv, L"-install"), 0u);

    WriteSettings(ruxserv, {{"stop_delay_ms", "4000"}, {"stop_wait_ms", "0"}});
    ASSERT_EQ(RunStandIn(ruxserv, L"-start"), 0u);
    ASSERT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 20000));
    EXPECT_EQ(RunStandIn(ruxserv, L"-stop"), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(ServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_TRUE(WaitServiceState(L"ruxserv", SERVICE_STOPPED, 20000));

    WriteSettings(ruxserv, {{"refuse_stop", "1"}});
    ASSERT_EQ(RunStandIn(ruxserv, L"-start"), 0u);
    ASSERT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 20000));
    EXPECT_EQ(RunStandIn(ruxserv, L"-stop"), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(ServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_RUNNING));
    ClearSettings(ruxserv);
    ASSERT_EQ(WaitForRecords(ruxserv, "accepts_stop", 1).size(), 1u);
    EXPECT_EQ(RunStandIn(ruxserv, L"-stop"), 0u);
    RemoveTestService(L"ruxserv");
}

// ---------------------------------------------------------------------------

TEST(StandInInstaller, LaysTheProductOutRegistersItAndCleansUp) {
    const std::wstring productDir = FreshDir(L"Program Files\\Product");
    const std::wstring engineDir = FreshDir(L"Common\\Engine");
    const StandInProduct product = InstallStandInProduct(productDir, engineDir);

    for (const std::wstring& file : {product.Tool(), product.ProductService(), product.MainProgram(),
                                     product.Deinstaller(), product.Uninstaller(), product.EngineService(),
                                     product.Registration()}) {
        EXPECT_TRUE(FileExists(file)) << Narrow(file);
    }
    EXPECT_EQ(FileExists(product.Solution()), FileExists(BinDir() + L"\\zeldecs.dll"));
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, std::wstring(kServicesKey) + L"zelserv", L"ImagePath"),
              engineDir + L"\\zelserv.exe");
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, std::wstring(kServicesKey) + L"ruxserv", L"ImagePath"),
              L"\"" + productDir + L"\\ruxserv.exe\"");
    EXPECT_EQ(RegString(HKEY_CURRENT_USER, kRunKey, L"ruxmain"), L"\"" + product.MainProgram() + L"\"");
    EXPECT_EQ(standin::ServiceProgramPath(L"ruxserv"), product.ProductService());
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, std::wstring(kServicesKey) + L"nydkernel", L"Start"),
              static_cast<DWORD>(SERVICE_DISABLED));

    // Both services run from where they were installed.
    WriteSettings(product.EngineService(), {{"refuse_stop", "1"}});
    ASSERT_EQ(standin::StartServiceByName(L"zelserv"), 0u);
    ASSERT_EQ(standin::StartServiceByName(L"ruxserv"), 0u);
    EXPECT_TRUE(WaitServiceState(L"zelserv", SERVICE_RUNNING, 20000));
    EXPECT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 20000));
    EXPECT_EQ(WaitForRecords(product.EngineService(), "service_start", 1).size(), 1u);
    EXPECT_EQ(WaitForRecords(product.ProductService(), "service_start", 1).size(), 1u);
    const ProcessHandles main = Start({L"", L"\"" + product.MainProgram() + L"\"", L"", CREATE_NO_WINDOW});
    ASSERT_EQ(WaitForRecords(product.MainProgram(), "start", 1).size(), 1u);

    // Clean-up ends the main program and even the refusing service.
    UninstallStandInProduct();
    EXPECT_EQ(WaitForSingleObject(main.process.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(ServiceState(L"zelserv"), 0u);
    EXPECT_EQ(ServiceState(L"ruxserv"), 0u);
    EXPECT_EQ(ReadRecords(product.EngineService(), "service_stopped").size(), 1u);
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kRunKey, L"RUXMain"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, std::wstring(kServicesKey) + L"nydkernel"));

    // Pieces can be left out.
    standin::InstallChoices engineOnly;
    engineOnly.tool = engineOnly.productPrograms = engineOnly.uninstaller = engineOnly.solution = false;
    engineOnly.productService = engineOnly.runValue = engineOnly.kernelServiceKey = false;
    const StandInProduct partial = InstallStandInProduct(FreshDir(L"bare2"), FreshDir(L"engine3"), engineOnly);
    EXPECT_FALSE(FileExists(partial.Tool()));
    EXPECT_FALSE(FileExists(partial.Uninstaller()));
    EXPECT_TRUE(FileExists(partial.EngineService()));
    EXPECT_EQ(ServiceState(L"ruxserv"), 0u);
    EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kRunKey, L"RUXMain"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, std::wstring(kServicesKey) + L"nydkernel"));
    UninstallStandInProduct();
}

TEST(StandInInstaller, SandboxInstallsStartsShowsAndRemovesTheProduct) {
    const std::wstring sandbox = L"\"" + BinDir() + L"\\zelsandbox.exe\" ";
    const std::wstring productDir = FreshDir(L"Sandbox Product");
    const std::wstring engineDir = FreshDir(L"SandboxEngine");

    EXPECT_EQ(RunCommand(sandbox + L"install").exitCode, 2u);
    EXPECT_EQ(RunCommand(sandbox + L"install \"" + productDir + L"\" " + engineDir + L" --without-nothing").exitCode,
              2u);
    const ProcessResult installed =
        RunCommand(sandbox + L"install \"" + productDir + L"\" " + engineDir + L" --without-uninstaller");
    EXPECT_EQ(installed.exitCode, 0u) << installed.output;
    EXPECT_TRUE(FileExists(productDir + L"\\zelunst.exe"));
    EXPECT_FALSE(FileExists(productDir + L"\\uninstall\\unins000.exe"));

    EXPECT_EQ(RunCommand(sandbox + L"settings \"" + productDir + L"\\ruxserv.exe\" stop_delay_ms=200").exitCode, 0u);
    const ProcessResult started = RunCommand(sandbox + L"start-product");
    EXPECT_EQ(started.exitCode, 0u) << started.output;
    EXPECT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 20000));
    EXPECT_TRUE(WaitServiceState(L"zelserv", SERVICE_RUNNING, 20000));
    ASSERT_EQ(WaitForRecords(productDir + L"\\ruxmain.exe", "start", 1).size(), 1u);

    const ProcessResult state = RunCommand(sandbox + L"state");
    EXPECT_EQ(state.exitCode, 0u);
    for (const std::string& expected : std::vector<std::string>
         {"service zelserv: RUNNING, " + Narrow(engineDir) + "\\zelserv.exe",
          "service ruxserv: RUNNING, " + Narrow(productDir) + "\\ruxserv.exe", "Run value RUXMain: \"",
          Narrow(productDir) + "\\ruxmain.record:", Narrow(engineDir) + "\\zelserv.record:", "  service_start  pid="}) {
        EXPECT_NE(state.output.find(expected), std::string::npos) << expected << "\n" << state.output;
    }
    EXPECT_EQ(ReadBytes(productDir + L"\\ruxserv.settings"), "stop_delay_ms=200\r\n");

    EXPECT_EQ(RunCommand(sandbox + L"uninstall").exitCode, 0u);
    EXPECT_EQ(ServiceState(L"ruxserv"), 0u);
    EXPECT_EQ(ServiceState(L"zelserv"), 0u);
    const ProcessResult after = RunCommand(sandbox + L"state \"" + productDir + L"\" " + engineDir);
    EXPECT_NE(after.output.find("service ruxserv: not installed"), std::string::npos) << after.output;
    EXPECT_NE(after.output.find("Run value RUXMain: absent"), std::string::npos) << after.output;
    EXPECT_NE(after.output.find("  service_stopped"), std::string::npos) << after.output;
}

}  // namespace
}  // namespace zeltest
