// The failures of "-smoothupdate" that the stand-ins can bring about, run as
// the whole exe: the exact run log of each, its exit code, and how far the
// update got.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "tests/workflows/SmoothUpdateFixture.h"

using namespace zeltest;

namespace {

const Lines kThroughStop{kLogStart, kKillSuccess, kStopServices};
const Lines kThroughEngineUninstall{kLogStart, kKillSuccess,    kStopServices,   kFrameworkGoes,
                                    kDeinstall, kEngineUninstall};

Lines Then(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

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

class SmoothUpdateMutex : public SmoothUpdateFixture {
protected:
    void SetUp() override {
        SmoothUpdateFixture::SetUp();
        MakeDirs(product.productDir + L"\\reupdate");
    }
};
class SmoothUpdateEngine : public SmoothUpdateFixture {};
class SmoothUpdateFramework : public SmoothUpdateFixture {
protected:
    void SetUp() override {
        SmoothUpdateFixture::SetUp();
        MakeDirs(product.productDir + L"\\reupdate");
    }
};
class SmoothUpdateLaterSteps : public SmoothUpdateFramework {};
class SmoothUpdateScan : public SmoothUpdateFramework {};
class SmoothUpdateSlowChildren : public SmoothUpdateFramework {};

Lines ServiceStartLines(const std::wstring& dir, const std::string& outcome) {
    return {"_DoCreateProcess : " + Narrow(dir) + "\\ruxserv.exe -start", "strCurrentDirectory : " + Narrow(dir),
            outcome};
}

}  // namespace

TEST_F(SmoothUpdateMutex, MutexHeldPastTheWaitStopsTheUpdate) {
    // Owned by this thread for the whole run: the tool gives up after 5000 ms.
    KernelHandle held(CreateMutexW(nullptr, TRUE, kUpdateMutexName.c_str()));
    ASSERT_TRUE(held.Valid());

    const ProcessResult result = RunUpdate();
    ReleaseMutex(held.Get());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              (Lines{kLogStart, "Can not wait for reupdate", "_DoWaittingForExe Fail"}));
    // Nothing else happened: the main program runs on, the engine service too.
    EXPECT_FALSE(HasEnded(mainProgram));
    EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kRunKey, L"ruxmain"));
}

TEST_F(SmoothUpdateMutex, AbandonedMutexCountsAsAFailedWait) {
    // The owner thread ends without releasing it; this handle keeps it alive.
    KernelHandle abandoned;
    std::thread([&abandoned] { abandoned.Reset(CreateMutexW(nullptr, TRUE, kUpdateMutexName.c_str())); }).join();
    ASSERT_TRUE(abandoned.Valid());

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              (Lines{kLogStart, "Can not wait for reupdate", "_DoWaittingForExe Fail"}));
    EXPECT_FALSE(HasEnded(mainProgram));
    EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
}

TEST_F(SmoothUpdateMutex, MutexReleasedWithinTheWaitLetsTheUpdateGoOn) {
    // A main program that owns the mutex for 3500 ms, then lets go and stays.
    WriteSettings(product.MainProgram(), {{"update_mutex_ms", "3500"}});
    const ProcessHandles owner = StartDetached(L"\"" + product.MainProgram() + L"\"");
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
    Sleep(500);  // the service reads its settings four times a second

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir), Then(kThroughStop, {"ZelUnstall_StopServices Fail"}));
    EXPECT_TRUE(HasEnded(mainProgram));
    EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
}

TEST_F(SmoothUpdateEngine, ProductUninstallThatCannotStart) {
    const Lines expected = Then(kThroughStop, {"CreateProcess /uninstall_product 0x000A0000  Fail"});

    // The engine service is registered, its program has gone (renamed while it runs).
    ASSERT_TRUE(MoveFileW(product.EngineService().c_str(), (product.engineDir + L"\\zelserv.gone").c_str()));
    ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir), expected);
    EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_STOPPED));

    // No engine service at all: the stop is accepted, the engine folder is
    // empty and "\zelserv.exe" names no program.
    RemoveTestService(L"zelserv");
    DeleteFileW((product.productDir + L"\\ZelUnst.log").c_str());
    result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir), expected);
    EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
}

TEST_F(SmoothUpdateEngine, ProductUninstallThatOutlivesItsWait) {
    WriteSettings(product.EngineService(), {{"uninstall_product.hang", "1"}});

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    // Nothing is logged for the time-out: the stop is the last line.
    EXPECT_EQ(UpdateLogLines(product.productDir), kThroughStop);
    EXPECT_EQ(OptionsStarted(product.EngineService()), std::vector<std::string>{"/uninstall_product"});
    EXPECT_EQ(ReadRecords(product.EngineService(), "hang").size(), 1u);
}

TEST_F(SmoothUpdateFramework, FrameworkQueryDecidesOnTheRemovalByItsExitCode) {
    const Lines serviceStart = ServiceStartLines(product.productDir, "_DoCreateProcess Suc");

    // 0: the framework stays; deinstaller and engine service uninstall are skipped without a line.
    WriteSettings(product.EngineService(), {{"can_uninstall_framework.exit_code", "0"}});
    ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(UpdateLogLines(product.productDir), Then(Then(kThroughStop, {kExchange, kInstallService}), serviceStart));
    EXPECT_EQ(OptionsStarted(product.EngineService()),
              (std::vector<std::string>{"/uninstall_product", "/can_uninstall_framework"}));
    EXPECT_TRUE(ReadRecords(product.Deinstaller(), "start").empty());

    // Any other non-zero code than the stand-in's usual 1: the removal runs.
    WriteSettings(product.EngineService(), {{"can_uninstall_framework.exit_code", "7"}});
    ClearRecords(product.EngineService());
    DeleteFileW((product.productDir + L"\\ZelUnst.log").c_str());
    // The first run started the product's service: stopped, it is started again.
    ASSERT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    ASSERT_EQ(RunCommand(L"\"" + product.ProductService() + L"\" -stop").exitCode, 0u);
    result = RunUpdate();
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(Then(kThroughEngineUninstall, {kExchange, kInstallService}), serviceStart));
    EXPECT_EQ(OptionsStarted(product.EngineService()),
              (std::vector<std::string>{"/uninstall_product", "/can_uninstall_framework", "/uninstall"}));
    EXPECT_EQ(ReadRecords(product.Deinstaller(), "start").size(), 1u);
}

TEST_F(SmoothUpdateFramework, DeinstallerThatCannotStart) {
    ASSERT_TRUE(DeleteFileW(product.Deinstaller().c_str()));

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(kThroughStop, {kFrameworkGoes, kDeinstall, kDeinstall, kUninstallFail}));
    EXPECT_EQ(OptionsStarted(product.EngineService()),
              (std::vector<std::string>{"/uninstall_product", "/can_uninstall_framework"}));
}

TEST_F(SmoothUpdateFramework, DeinstallerThatOutlivesItsWait) {
    WriteSettings(product.Deinstaller(), {{"uninstall.hang", "1"}});

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir), Then(kThroughStop, {kFrameworkGoes, kDeinstall, kUninstallFail}));
    EXPECT_EQ(ReadRecords(product.Deinstaller(), "hang").size(), 1u);
    EXPECT_EQ(OptionsStarted(product.EngineService()),
              (std::vector<std::string>{"/uninstall_product", "/can_uninstall_framework"}));
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

TEST_F(SmoothUpdateFramework, EngineServiceUninstallThatOutlivesItsWait) {
    WriteSettings(product.EngineService(), {{"uninstall.hang", "1"}});

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir), Then(kThroughEngineUninstall, {kUninstallFail}));
    EXPECT_EQ(ReadRecords(product.EngineService(), "hang").size(), 1u);
    EXPECT_FALSE(DirExists(product.productDir + L"\\updatetemp"));
}

TEST_F(SmoothUpdateLaterSteps, MissingStagingFolderFailsTheExchange) {
    RemoveTree(product.productDir + L"\\reupdate");
    RemoveDirectoryW((product.productDir + L"\\reupdate").c_str());
    WriteText(product.productDir + L"\\settings.cfg", "settings v1");

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir), Then(kThroughEngineUninstall, {kExchange, kExchangeFail}));
    // The complete backup stays; nothing after the exchange happened.
    EXPECT_TRUE(FileExists(product.productDir + L"\\updatetemp\\ruxserv.exe"));
    EXPECT_EQ(ReadBytes(product.productDir + L"\\settings.cfg"), "settings v1");
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kRunKey, L"ruxmain"));
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
        const ProcessResult result = RunUpdate();
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(UpdateLogLines(dir),
                  Then(kThroughEngineUninstall, {kExchange, "Copy file rux to rux\\updatetemp Fail", kExchangeFail}));
    }
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "main v1");

    // A staged file whose target is a folder cannot be copied; the backup stays.
    WriteText(dir + L"\\reupdate\\conflict", "a file");
    WriteText(dir + L"\\conflict\\inside.txt", "a folder");
    DeleteFileW((dir + L"\\ZelUnst.log").c_str());
    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(dir),
              Then(kThroughEngineUninstall, {kExchange, "Copy file rux\\reupdate to rux\\ Fail", kExchangeFail}));
    EXPECT_TRUE(FileExists(dir + L"\\updatetemp\\conflict\\inside.txt"));
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kRunKey, L"ruxmain"));
}

TEST_F(SmoothUpdateLaterSteps, MissingServiceProgramFailsTheServiceInstall) {
    ASSERT_TRUE(DeleteFileW(product.ProductService().c_str()));
    WriteText(product.productDir + L"\\settings.cfg", "settings v1");

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(kThroughEngineUninstall, {kExchange, kInstallService, "_DoInstallRUXServ Fail"}));
    // The steps before it did their work.
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kRunKey, L"ruxmain"));
    EXPECT_EQ(ReadBytes(product.productDir + L"\\settings.cfg.bak"), "settings v1");
    EXPECT_TRUE(ReadRecords(product.Registration(), "start").empty());
}

TEST_F(SmoothUpdateLaterSteps, MissingRegistrationToolStillSucceeds) {
    ASSERT_TRUE(DeleteFileW(product.Registration().c_str()));

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(Then(kThroughEngineUninstall, {kExchange, kInstallService}),
                   ServiceStartLines(product.productDir, "_DoCreateProcess Suc")));
    EXPECT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
}

TEST_F(SmoothUpdateLaterSteps, MissingSolutionLibraryIsReportedAndTheUpdateGoesOn) {
    ASSERT_TRUE(DeleteFileW(product.Solution().c_str()));

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.output, "\r\n" + Narrow(product.Solution()) + " file do not exists \r\n");
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(Then(kThroughEngineUninstall, {kExchange, kInstallService}),
                   ServiceStartLines(product.productDir, "_DoCreateProcess Suc")));
    EXPECT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
}

TEST_F(SmoothUpdateLaterSteps, ServiceStartThatCannotBeLaunched) {
    // During the scan the service program goes away (renamed while it runs),
    // after its install has ended.
    WriteSettings(product.ProductService(), {{"installproduct.delay_ms", "2000"}});
    WhenReady remover(
        [&] {
            return !ReadRecords(product.ProductService(), "exit").empty() &&
                   ReadRecords(product.ProductService(), "start").size() == 2;
        },
        [&] {
            MoveFileW(product.ProductService().c_str(), (product.productDir + L"\\ruxserv.gone").c_str());
        });

    const ProcessResult result = RunUpdate();
    ASSERT_TRUE(remover.Join());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(Then(Then(kThroughEngineUninstall, {kExchange, kInstallService}),
                        ServiceStartLines(product.productDir, "_DoCreateProcess Fail")),
                   {"_WaitAndStartServ _DoCreateProcess fail", "_WaitAndStartServ Fail"}));
    EXPECT_TRUE(ReadRecords(product.Registration(), "start").empty());
}

TEST_F(SmoothUpdateLaterSteps, ServiceStateThatCannotBeReadFailsTheStart) {
    // During the scan the product's service is deleted, after its install has ended.
    WriteSettings(product.ProductService(), {{"installproduct.delay_ms", "2000"}});
    WhenReady remover(
        [&] {
            return !ReadRecords(product.ProductService(), "exit").empty() &&
                   ReadRecords(product.ProductService(), "start").size() == 2;
        },
        [&] { RemoveTestService(L"ruxserv"); });

    const ProcessResult result = RunUpdate();
    ASSERT_TRUE(remover.Join());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(kThroughEngineUninstall, {kExchange, kInstallService, "_WaitAndStartServ VMyQueryServicState fail",
                                             "_WaitAndStartServ Fail"}));
    EXPECT_TRUE(ReadRecords(product.Registration(), "start").empty());
}

TEST_F(SmoothUpdateScan, ScanThatOutlivesItsWait) {
    WriteSettings(product.ProductService(), {{"installproduct.hang", "1"}});

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(kThroughEngineUninstall, {kExchange, kInstallService, "ruxserv.exe -installproduct Wait fail",
                                             "_DoRUXServScanProduct Fail"}));
    EXPECT_EQ(ReadRecords(product.ProductService(), "hang").size(), 1u);
    std::vector<std::string> options = OptionsStarted(product.ProductService());
    std::sort(options.begin(), options.end());
    EXPECT_EQ(options, (std::vector<std::string>{"-install", "-installproduct"}));
    EXPECT_EQ(ServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(SmoothUpdateSlowChildren, ChildrenEndingWithinTheirWaitsLetTheUpdateSucceed) {
    // Each waited-for child takes most of its wait: 5000 ms for the uninstall
    // programs, 20000 ms for the scan.
    WriteSettings(product.EngineService(), {{"uninstall_product.delay_ms", "3500"}, {"uninstall.delay_ms", "3500"}});
    WriteSettings(product.Deinstaller(), {{"uninstall.delay_ms", "3500"}});
    WriteSettings(product.ProductService(), {{"installproduct.delay_ms", "12000"}});

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(UpdateLogLines(product.productDir),
              Then(Then(kThroughEngineUninstall, {kExchange, kInstallService}),
                   ServiceStartLines(product.productDir, "_DoCreateProcess Suc")));
    EXPECT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
}
