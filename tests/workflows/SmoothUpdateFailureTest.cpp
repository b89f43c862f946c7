// The failures of "-smoothupdate" that the stand-ins can bring about, run as
// the whole exe: the exact run log of each, its exit code, and how far the
// update got.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <thread>

#include "tests/workflows/SmoothUpdateFixture.h"

using namespace zeltest;

namespace {

const Lines kSucceeded = Then(Then(kThroughEngineUninstall, {kExchange, kInstallService}),
                              ServiceStartLines(kProductDir, "_DoCreateProcess Suc"));
const std::vector<std::string> kUpToTheFrameworkQuery{"/uninstall_product", "/can_uninstall_framework"};

// Runs `act` on its own thread once `ready` holds (polled), while the tool
// runs on the test's thread; the thread is joined on destruction.
class WhenReady {
public:
    WhenReady(std::function<bool()> ready, std::function<void()> act)
        : thread_([ready = std::move(ready), act = std::move(act), this] {
              const ULONGLONG deadline = GetTickCount64() + 30000;
              while (!ready()) {
                  if (GetTickCount64() >= deadline) return;
                  Sleep(20);
              }
              act();
              acted_ = true;
          }) {}
    ~WhenReady() { Join(); }
    bool Join() {
        if (thread_.joinable()) thread_.join();
        return acted_;
    }

private:
    bool acted_ = false;
    std::thread thread_;
};

class SmoothUpdateWithStaging : public SmoothUpdateFixture {
protected:
    void SetUp() override {
        SmoothUpdateFixture::SetUp();
        MakeDirs(product.productDir + L"\\reupdate");
    }
    // The scan (with its install ended) runs long enough for `act` to change
    // the product under it.
    void DuringTheScan(const std::function<void()>& act, DWORD exitCode, const Lines& log) {
        WriteSettings(product.ProductService(), {{"installproduct.delay_ms", "2000"}});
        WhenReady actor(
            [&] {
                return !ReadRecords(product.ProductService(), "exit").empty() &&
                       ReadRecords(product.ProductService(), "start").size() == 2;
            },
            act);
        const ProcessResult result = RunUpdate();
        ASSERT_TRUE(actor.Join());
        EXPECT_EQ(result.exitCode, exitCode);
        EXPECT_EQ(UpdateLogLines(product.productDir), log);
        EXPECT_TRUE(ReadRecords(product.Registration(), "start").empty());
    }
};
class SmoothUpdateMutex : public SmoothUpdateWithStaging {};
class SmoothUpdateEngine : public SmoothUpdateFixture {};
class SmoothUpdateFramework : public SmoothUpdateWithStaging {};
class SmoothUpdateLaterSteps : public SmoothUpdateWithStaging {};

// A failure brought about by stand-in settings or a missing program.
using Program = std::wstring (StandInProduct::*)() const;
struct Knob {
    Program program;
    std::map<std::string, std::string> settings;
};
struct FailureRow {
    const char* name;  // its shard is the part before the '_'
    std::vector<Knob> knobs;
    Program missing;  // deleted before the run, or nullptr
    DWORD exitCode;
    Lines log;
    Program hung;  // the child that must have hung, or nullptr
    std::function<void(const StandInProduct&, const std::string& output)> alsoCheck;
};
void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

class SmoothUpdateFailure : public SmoothUpdateWithStaging, public ::testing::WithParamInterface<FailureRow> {};

const FailureRow kFailures[] = {
    {"Engine_ProductUninstallThatOutlivesItsWait", {{&StandInProduct::EngineService, {{"uninstall_product.hang", "1"}}}},
     nullptr, 0, kThroughStop, &StandInProduct::EngineService,
     // Nothing is logged for the time-out: the stop is the last line.
     [](const StandInProduct& product, const std::string&) {
         EXPECT_EQ(OptionsStarted(product.EngineService()), std::vector<std::string>{"/uninstall_product"});
     }},
    {"Framework_DeinstallerThatCannotStart", {}, &StandInProduct::Deinstaller, 0,
     Then(kThroughStop, {kFrameworkGoes, kDeinstall, kDeinstall, kUninstallFail}), nullptr,
     [](const StandInProduct& product, const std::string&) {
         EXPECT_EQ(OptionsStarted(product.EngineService()), kUpToTheFrameworkQuery);
     }},
    {"Framework_DeinstallerThatOutlivesItsWait", {{&StandInProduct::Deinstaller, {{"uninstall.hang", "1"}}}}, nullptr,
     0, Then(kThroughStop, {kFrameworkGoes, kDeinstall, kUninstallFail}), &StandInProduct::Deinstaller,
     [](const StandInProduct& product, const std::string&) {
         EXPECT_EQ(OptionsStarted(product.EngineService()), kUpToTheFrameworkQuery);
     }},
    {"Framework_EngineServiceUninstallThatOutlivesItsWait",
     {{&StandInProduct::EngineService, {{"uninstall.hang", "1"}}}}, nullptr, 0,
     Then(kThroughEngineUninstall, {kUninstallFail}), &StandInProduct::EngineService,
     [](const StandInProduct& product, const std::string&) {
         EXPECT_FALSE(DirExists(product.productDir + L"\\updatetemp"));
     }},
    {"LaterSteps_MissingServiceProgramFailsTheServiceInstall", {}, &StandInProduct::ProductService, 0,
     Then(kThroughEngineUninstall, {kExchange, kInstallService, "_DoInstallRUXServ Fail"}), nullptr,
     // The steps before it did their work.
     [](const StandInProduct& product, const std::string&) {
         EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain"));
         EXPECT_EQ(ReadBytes(product.productDir + L"\\settings.cfg.bak"), "settings v1");
         EXPECT_TRUE(ReadRecords(product.Registration(), "start").empty());
     }},
    {"LaterSteps_MissingRegistrationToolStillSucceeds", {}, &StandInProduct::Registration, 1, kSucceeded, nullptr, {}},
    {"LaterSteps_MissingSolutionLibraryIsReportedAndTheUpdateGoesOn", {}, &StandInProduct::Solution, 1, kSucceeded,
     nullptr,
     [](const StandInProduct& product, const std::string& output) {
         EXPECT_EQ(output, "\r\n" + Narrow(product.Solution()) + " file do not exists \r\n");
     }},
    {"Scan_ScanThatOutlivesItsWait", {{&StandInProduct::ProductService, {{"installproduct.hang", "1"}}}}, nullptr, 0,
     Then(kThroughEngineUninstall,
          {kExchange, kInstallService, "ruxserv.exe -installproduct Wait fail", "_DoRUXServScanProduct Fail"}),
     &StandInProduct::ProductService,
     [](const StandInProduct& product, const std::string&) {
         std::vector<std::string> options = OptionsStarted(product.ProductService());
         std::sort(options.begin(), options.end());
         EXPECT_EQ(options, (std::vector<std::string>{"-install", "-installproduct"}));
         EXPECT_EQ(ServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_STOPPED));
     }},
    // Each waited-for child takes most of its wait: 5000 ms for the uninstall
    // programs, 20000 ms for the scan.
    {"SlowChildren_ChildrenEndingWithinTheirWaitsLetTheUpdateSucceed",
     {{&StandInProduct::EngineService, {{"uninstall_product.delay_ms", "3500"}, {"uninstall.delay_ms", "3500"}}},
      {&StandInProduct::Deinstaller, {{"uninstall.delay_ms", "3500"}}},
      {&StandInProduct::ProductService, {{"installproduct.delay_ms", "12000"}}}},
     nullptr, 1, kSucceeded, nullptr, {}},
};

}  // namespace

TEST_P(SmoothUpdateFailure, GivesItsLogAndExitCode) {
    const FailureRow& row = GetParam();
    WriteText(product.productDir + L"\\settings.cfg", "settings v1");
    for (const Knob& knob : row.knobs) WriteSettings((product.*knob.program)(), knob.settings);
    if (row.missing) {
        ASSERT_TRUE(DeleteFileW((product.*row.missing)().c_str()));
    }

    const std::string output = ExpectUpdate(row.exitCode, row.log);
    // A successful update brings the service back.
    EXPECT_TRUE(row.exitCode != 1 || WaitServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    if (row.hung) {
        EXPECT_EQ(ReadRecords((product.*row.hung)(), "hang").size(), 1u);
    }
    if (row.alsoCheck) row.alsoCheck(product, output);
}

INSTANTIATE_TEST_SUITE_P(Rows, SmoothUpdateFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureRow>& info) { return info.param.name; });

TEST_F(SmoothUpdateMutex, MutexHeldPastTheWaitOrAbandonedStopsTheUpdate) {
    const auto expectNothingDone = [this] {
        EXPECT_EQ(UpdateLogLines(product.productDir),
                  (Lines{kLogStart, "Can not wait for reupdate", "_DoWaittingForExe Fail"}));
        EXPECT_FALSE(HasEnded(mainProgram));
        EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
        EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain"));
    };
    // Owned by this thread for the whole run: the tool gives up after 5000 ms.
    KernelHandle held(CreateMutexW(nullptr, TRUE, kUpdateMutexName.c_str()));
    ASSERT_TRUE(held.Valid());
    DeleteFileW((product.productDir + L"\\ZelUnst.log").c_str());
    EXPECT_EQ(RunUpdate().exitCode, 0u);
    ReleaseMutex(held.Get());
    expectNothingDone();
    held.Reset();

    // The owner thread ends without releasing it; this handle keeps it alive.
    KernelHandle abandoned;
    std::thread([&abandoned] { abandoned.Reset(CreateMutexW(nullptr, TRUE, kUpdateMutexName.c_str())); }).join();
    ASSERT_TRUE(abandoned.Valid());
    DeleteFileW((product.productDir + L"\\ZelUnst.log").c_str());
    EXPECT_EQ(RunUpdate().exitCode, 0u);
    expectNothingDone();
}

TEST_F(SmoothUpdateMutex, MutexReleasedWithinTheWaitLetsTheUpdateGoOn) {
    // A main program that owns the mutex for 3500 ms, then lets go and stays.
    WriteSettings(product.MainProgram(), {{"update_mutex_ms", "3500"}});
    const ProcessHandles owner = StartProcess(L"\"" + product.MainProgram() + L"\"");
    ASSERT_EQ(WaitForRecords(product.MainProgram(), "mutex_owned", 1).size(), 1u);

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 1u);
    const Lines lines = UpdateLogLines(product.productDir);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 3), kThroughStop);
    // The update went on only after the owner had let go.
    const std::vector<StandInRecord> released = ReadRecords(product.MainProgram(), "mutex_released");
    ASSERT_EQ(released.size(), 1u);
    const std::vector<StandInRecord> uninstalls = ReadRecords(product.EngineService(), "start");
    ASSERT_FALSE(uninstalls.empty());
    EXPECT_LE(TickOf(released[0]), TickOf(uninstalls[0]));
    // One main program is ended per run: the first one the process list shows.
    EXPECT_TRUE(HasEnded(mainProgram) || HasEnded(owner));
}

TEST_F(SmoothUpdateEngine, EngineServiceThatDoesNotStop) {
    WriteSettings(product.EngineService(), {{"refuse_stop", "1"}});
    ASSERT_EQ(WaitForRecords(product.EngineService(), "accepts_stop", 1).size(), 1u);

    ExpectUpdate(0, Then(kThroughStop, {"ZelUnstall_StopServices Fail"}));
    EXPECT_TRUE(HasEnded(mainProgram));
    EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
}

TEST_F(SmoothUpdateEngine, ProductUninstallThatCannotStart) {
    const Lines expected = Then(kThroughStop, {"CreateProcess /uninstall_product 0x000A0000  Fail"});

    // The engine service is registered, its program has gone (renamed while it runs).
    ASSERT_TRUE(MoveFileW(product.EngineService().c_str(), (product.engineDir + L"\\zelserv.gone").c_str()));
    ExpectUpdate(0, expected);
    EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_STOPPED));

    // No engine service at all: the stop is accepted, the engine folder is
    // empty and "\zelserv.exe" names no program.
    RemoveTestService(L"zelserv");
    ExpectUpdate(0, expected);
    EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
}

TEST_F(SmoothUpdateFramework, FrameworkQueryDecidesOnTheRemovalByItsExitCode) {
    // 0: the framework stays; deinstaller and engine service uninstall are skipped without a line.
    WriteSettings(product.EngineService(), {{"can_uninstall_framework.exit_code", "0"}});
    ExpectUpdate(1, Then(Then(kThroughStop, {kExchange, kInstallService}),
                         ServiceStartLines(product.productDir, "_DoCreateProcess Suc")));
    EXPECT_EQ(OptionsStarted(product.EngineService()), kUpToTheFrameworkQuery);
    EXPECT_TRUE(ReadRecords(product.Deinstaller(), "start").empty());

    // Any other non-zero code than the stand-in's usual 1: the removal runs.
    WriteSettings(product.EngineService(), {{"can_uninstall_framework.exit_code", "7"}});
    ClearRecords(product.EngineService());
    // The first run started the product's service: stopped, it is started again.
    ASSERT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    ASSERT_EQ(RunCommand(L"\"" + product.ProductService() + L"\" -stop").exitCode, 0u);
    ExpectUpdate(1, SucceededLog());
    EXPECT_EQ(OptionsStarted(product.EngineService()),
              (std::vector<std::string>{"/uninstall_product", "/can_uninstall_framework", "/uninstall"}));
    EXPECT_EQ(ReadRecords(product.Deinstaller(), "start").size(), 1u);
}

TEST_F(SmoothUpdateFramework, EngineServiceUninstallThatCannotStart) {
    // While the deinstaller runs, the engine's program goes away.
    WriteSettings(product.Deinstaller(), {{"uninstall.delay_ms", "2000"}});
    WhenReady remover([&] { return !ReadRecords(product.Deinstaller(), "start").empty(); },
                      [&] { MoveFileW(product.EngineService().c_str(), (product.engineDir + L"\\zelserv.gone").c_str()); });

    const ProcessResult result = RunUpdate();
    ASSERT_TRUE(remover.Join());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(kThroughEngineUninstall, {"zelserv /uninstall Fail ", kUninstallFail}));
    EXPECT_EQ(ReadRecords(product.Deinstaller(), "exit").size(), 1u);
}

TEST_F(SmoothUpdateLaterSteps, MissingStagingFolderFailsTheExchange) {
    RemoveTree(product.productDir + L"\\reupdate");
    RemoveDirectoryW((product.productDir + L"\\reupdate").c_str());
    WriteText(product.productDir + L"\\settings.cfg", "settings v1");

    ExpectUpdate(0, Then(kThroughEngineUninstall, {kExchange, kExchangeFail}));
    // The complete backup stays; nothing after the exchange happened.
    EXPECT_TRUE(FileExists(product.productDir + L"\\updatetemp\\ruxserv.exe"));
    EXPECT_EQ(ReadBytes(product.productDir + L"\\settings.cfg"), "settings v1");
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain"));
    EXPECT_TRUE(ReadRecords(product.ProductService(), "start").empty());
}

TEST_F(SmoothUpdateLaterSteps, CopyFailuresOfTheExchangeAreLogged) {
    const std::wstring& dir = product.productDir;
    WriteText(dir + L"\\reupdate\\Main.DLL", "main v2");
    WriteText(dir + L"\\Main.dll", "main v1");

    // A product file open without sharing cannot be backed up.
    {
        FileHandle held(CreateFileW((dir + L"\\Main.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
        ASSERT_TRUE(held.Valid());
        ExpectUpdate(0, Then(kThroughEngineUninstall,
                             {kExchange, "Copy file rux to rux\\updatetemp Fail", kExchangeFail}));
    }
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "main v1");

    // A staged file whose target is a folder cannot be copied; the backup stays.
    WriteText(dir + L"\\reupdate\\conflict", "a file");
    WriteText(dir + L"\\conflict\\inside.txt", "a folder");
    ExpectUpdate(0, Then(kThroughEngineUninstall, {kExchange, "Copy file rux\\reupdate to rux\\ Fail", kExchangeFail}));
    EXPECT_TRUE(FileExists(dir + L"\\updatetemp\\conflict\\inside.txt"));
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain"));
}

TEST_F(SmoothUpdateLaterSteps, ServiceStartThatCannotBeLaunched) {
    // The service program goes away (renamed while it runs).
    DuringTheScan([&] { MoveFileW(product.ProductService().c_str(), (product.productDir + L"\\ruxserv.gone").c_str()); },
                  0,
                  Then(Then(Then(kThroughEngineUninstall, {kExchange, kInstallService}),
                            ServiceStartLines(product.productDir, "_DoCreateProcess Fail")),
                       {"_WaitAndStartServ _DoCreateProcess fail", "_WaitAndStartServ Fail"}));
}

TEST_F(SmoothUpdateLaterSteps, ServiceStateThatCannotBeReadFailsTheStart) {
    // The product's service is deleted.
    DuringTheScan([] { RemoveTestService(L"ruxserv"); }, 0,
                  Then(Then(kThroughEngineUninstall, {kExchange, kInstallService}),
                       {"_WaitAndStartServ VMyQueryServicState fail", "_WaitAndStartServ Fail"}));
}
