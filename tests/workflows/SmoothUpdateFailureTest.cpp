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

const Lines kSucceeded = Then(kInstalled, ServiceStartLines(kProductDir, "_DoCreateProcess Suc"));
const std::vector<std::string> kUpToTheFrameworkQuery{"/uninstall_product", "/can_uninstall_framework"};

class SmoothUpdateWithStaging : public SmoothUpdateFixture {
protected:
    void SetUp() override {
        SmoothUpdateFixture::SetUp();
        CreateDirectoryChain(product.productDir + L"\\reupdate");
    }
};
class SmoothUpdateMutex : public SmoothUpdateWithStaging {};
class SmoothUpdateEngine : public SmoothUpdateFixture {};
class SmoothUpdateFramework : public SmoothUpdateWithStaging {};
class SmoothUpdateLaterSteps : public SmoothUpdateWithStaging {};

// A failure brought about by stand-in settings, a missing program, or a
// change made while a (slowed) child runs.
using P = StandInProduct;
using Program = std::wstring (P::*)() const;
using Check = std::function<void(const P&)>;
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
    Program hung;                           // the child that must have hung, or nullptr
    std::vector<std::string> engineStarts;  // the engine service's options, when given
    std::function<bool(const P&)> actWhen;  // polled during the run; then `act` runs
    Check act;
    Check alsoCheck;
    Check prepare = {};  // before the run
};
void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

class SmoothUpdateFailure : public SmoothUpdateWithStaging, public ::testing::WithParamInterface<FailureRow> {};

bool ScanRunning(const P& product) {
    return !ReadRecords(product.ProductService(), "exit").empty() &&
           ReadRecords(product.ProductService(), "start").size() == 2;
}
const Knob kSlowScan{&P::ProductService, {{"installproduct.delay_ms", "2000"}}};
void NoRegistration(const P& product) { EXPECT_TRUE(ReadRecords(product.Registration(), "start").empty()); }
void Registered(const P& product) { EXPECT_EQ(WaitForRecords(product.Registration(), "exit", 1).size(), 1u); }
const Lines kServiceStarted = ServiceStartLines(kProductDir, "_DoCreateProcess Suc");

const FailureRow kFailures[] = {
    // Nothing is logged for the time-out: the stop is the last line.
    {"Engine_ProductUninstallThatOutlivesItsWait", {{&P::EngineService, {{"uninstall_product.hang", "1"}}}}, nullptr,
     0, kThroughStop, &P::EngineService, {"/uninstall_product"}, {}, {}, {}},
    {"Framework_DeinstallerThatCannotStart", {}, &P::Deinstaller, 0,
     Then(kThroughStop, {kFrameworkGoes, kDeinstall, kDeinstall, kUninstallFail}), nullptr, kUpToTheFrameworkQuery,
     {}, {}, {}},
    {"Framework_DeinstallerThatOutlivesItsWait", {{&P::Deinstaller, {{"uninstall.hang", "1"}}}}, nullptr, 0,
     Then(kThroughStop, {kFrameworkGoes, kDeinstall, kUninstallFail}), &P::Deinstaller, kUpToTheFrameworkQuery, {},
     {}, {}},
    // While the deinstaller runs, the engine's program goes away.
    {"Framework_EngineServiceUninstallThatCannotStart", {{&P::Deinstaller, {{"uninstall.delay_ms", "2000"}}}}, nullptr,
     0, Then(kThroughEngineUninstall, {"zelserv /uninstall Fail ", kUninstallFail}), nullptr, {},
     [](const P& product) { return !ReadRecords(product.Deinstaller(), "start").empty(); },
     [](const P& product) {
         MoveFileW(product.EngineService().c_str(), (product.engineDir + L"\\zelserv.gone").c_str());
     },
     [](const P& product) { EXPECT_EQ(ReadRecords(product.Deinstaller(), "exit").size(), 1u); }},
    {"Framework_EngineServiceUninstallThatOutlivesItsWait", {{&P::EngineService, {{"uninstall.hang", "1"}}}}, nullptr,
     0, Then(kThroughEngineUninstall, {kUninstallFail}), &P::EngineService, {}, {}, {},
     [](const P& product) { EXPECT_FALSE(DirExists(product.productDir + L"\\updatetemp")); }},
    // An engine that never answers is taken as one that keeps its framework.
    {"FrameworkSilent_QueryThatNeverAnswersCountsAsNo",
     {{&P::EngineService, {{"can_uninstall_framework.hang", "1"}}}}, nullptr, 1,
     Then(InstalledAfter(Then(kThroughStop, {"zelserv.exe /can_uninstall_framework gave no answer within 60 s; "
                                             "taken as no, left running"}),
                         kProductDir + L"\\zelunst.exe"),
          kServiceStarted),
     &P::EngineService, kUpToTheFrameworkQuery, {}, {},
     [](const P& product) { EXPECT_TRUE(ReadRecords(product.Deinstaller(), "start").empty()); }},
    // The engine's install is a second run of the tool: a crash or a hang of
    // its library there leaves the rest of the update to go on.
    {"EngineCrash_InstallThatCrashesLetsTheProductComeBack", {{&P::Solution, {{"Fault", "crash"}}}}, nullptr, 1,
     Then(InstalledAfter(kThroughEngineUninstall, kProductDir + L"\\zelunst.exe",
                         {"process <pid>: Unhandled exception 0xC0000005 at zeldecs.dll+<offset>", kEngineInstallFailed}),
          kServiceStarted),
     nullptr, {}, {}, {},
     [](const P& product) {
         Registered(product);
         EXPECT_TRUE(FileExists(product.productDir + L"\\ZelUnst.dmp"));
         EXPECT_EQ(ReadBytes(product.productDir + L"\\settings.cfg.bak"), "settings v1");
         EXPECT_FALSE(DirExists(product.productDir + L"\\updatetemp"));
     }},
    // With the administrator's short limit, the hung engine run ends itself
    // with its dump, and no run of the tool is left behind.
    {"EngineHang_InstallThatNeverEndsLetsTheProductComeBack", {{&P::Solution, {{"Fault", "hang"}}}}, nullptr, 1,
     Then(InstalledAfter(kThroughEngineUninstall, kProductDir + L"\\zelunst.exe",
                         {"process <pid>: The engine library has not returned from Install within 3 s",
                          kEngineInstallFailed},
                         "3"),
          kServiceStarted),
     nullptr, {}, {}, {},
     [](const P& product) {
         Registered(product);
         EXPECT_TRUE(FileExists(product.productDir + L"\\ZelUnst.dmp"));
         EXPECT_EQ(standin::EndProcessesNamed(L"zelunst.exe", 0), 0);
     },
     [](const P&) { SetEngineCallTimeoutPolicy(3); }},
    {"LaterSteps_MissingServiceProgramFailsTheServiceInstall", {}, &P::ProductService, 0,
     Then(kInstalled, {"_DoInstallRUXServ Fail"}), nullptr, {}, {}, {},
     // The steps before it did their work.
     [](const P& product) {
         EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain"));
         EXPECT_EQ(ReadBytes(product.productDir + L"\\settings.cfg.bak"), "settings v1");
         NoRegistration(product);
     }},
    {"LaterSteps_MissingRegistrationToolStillSucceeds", {}, &P::Registration, 1, kSucceeded, nullptr, {}, {}, {}, {}},
    // During the scan, after the service install has ended, the service
    // program goes away (renamed while it runs), or the service is deleted.
    {"LaterSteps_ServiceStartThatCannotBeLaunched", {kSlowScan}, nullptr, 0,
     Then(Then(kInstalled, ServiceStartLines(kProductDir, "_DoCreateProcess Fail")),
          {"_WaitAndStartServ _DoCreateProcess fail", "_WaitAndStartServ Fail"}),
     nullptr, {}, ScanRunning,
     [](const P& product) {
         MoveFileW(product.ProductService().c_str(), (product.productDir + L"\\ruxserv.gone").c_str());
     },
     NoRegistration},
    {"LaterSteps_ServiceStateThatCannotBeReadFailsTheStart", {kSlowScan}, nullptr, 0,
     Then(kInstalled, {"_WaitAndStartServ VMyQueryServicState fail", "_WaitAndStartServ Fail"}), nullptr, {},
     ScanRunning, [](const P&) { standin::RemoveService(L"ruxserv", 0); }, NoRegistration},
    {"Scan_ScanThatOutlivesItsWait", {{&P::ProductService, {{"installproduct.hang", "1"}}}}, nullptr, 0,
     Then(kInstalled, {"ruxserv.exe -installproduct Wait fail", "_DoRUXServScanProduct Fail"}), &P::ProductService,
     {}, {}, {},
     [](const P& product) {
         std::vector<std::string> options = OptionsStarted(product.ProductService());
         std::sort(options.begin(), options.end());
         EXPECT_EQ(options, (std::vector<std::string>{"-install", "-installproduct"}));
         EXPECT_EQ(standin::QueryServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_STOPPED));
     }},
    // Each waited-for child takes most of its wait: 5000 ms for the uninstall
    // programs, 20000 ms for the scan.
    {"SlowChildren_ChildrenEndingWithinTheirWaitsLetTheUpdateSucceed",
     {{&P::EngineService, {{"uninstall_product.delay_ms", "3500"}, {"uninstall.delay_ms", "3500"}}},
      {&P::Deinstaller, {{"uninstall.delay_ms", "3500"}}},
      {&P::ProductService, {{"installproduct.delay_ms", "12000"}}}},
     nullptr, 1, kSucceeded, nullptr, {}, {}, {}, {}},
};

}  // namespace

TEST_P(SmoothUpdateFailure, GivesItsLogAndExitCode) {
    const FailureRow& row = GetParam();
    WriteText(product.productDir + L"\\settings.cfg", "settings v1");
    for (const Knob& knob : row.knobs) WriteSettings((product.*knob.program)(), knob.settings);
    if (row.prepare) row.prepare(product);
    ASSERT_TRUE(!row.missing || DeleteFileW((product.*row.missing)().c_str()));
    bool acted = false;
    std::thread actor([&] {
        const ULONGLONG deadline = GetTickCount64() + 30000;
        while (row.act && !acted && GetTickCount64() < deadline) {
            if (row.actWhen(product)) {
                row.act(product);
                acted = true;
            }
            Sleep(20);
        }
    });
    ExpectUpdate(row.exitCode, row.log);
    actor.join();
    EXPECT_EQ(acted, static_cast<bool>(row.act));
    EXPECT_TRUE(row.exitCode != 1 || standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    if (row.hung) {
        EXPECT_EQ(ReadRecords((product.*row.hung)(), "hang").size(), 1u);
    }
    if (!row.engineStarts.empty()) {
        EXPECT_EQ(OptionsStarted(product.EngineService()), row.engineStarts);
    }
    if (row.alsoCheck) row.alsoCheck(product);
}

INSTANTIATE_TEST_SUITE_P(Rows, SmoothUpdateFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureRow>& info) { return info.param.name; });

TEST_F(SmoothUpdateMutex, MutexHeldPastTheWaitOrAbandonedStopsTheUpdate) {
    const Lines gaveUp{kLogStart, "Can not wait for reupdate", "_DoWaittingForExe Fail"};
    // Owned by this thread for the whole run: the tool gives up after 5000 ms.
    KernelHandle held(CreateMutexW(nullptr, TRUE, kUpdateMutexName.c_str()));
    ASSERT_TRUE(held.Valid());
    ExpectUpdate(0, gaveUp);
    ReleaseMutex(held.Get());
    held.Reset();

    // The owner thread ends without releasing it; this handle keeps it alive.
    KernelHandle abandoned;
    std::thread([&abandoned] { abandoned.Reset(CreateMutexW(nullptr, TRUE, kUpdateMutexName.c_str())); }).join();
    ASSERT_TRUE(abandoned.Valid());
    ExpectUpdate(0, gaveUp);

    // Neither run did anything else.
    EXPECT_FALSE(HasEnded(mainProgram));
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain"));
}

TEST_F(SmoothUpdateMutex, MutexReleasedWithinTheWaitLetsTheUpdateGoOn) {
    // A main program that owns the mutex for 3500 ms, then lets go and stays.
    WriteSettings(product.MainProgram(), {{"update_mutex_ms", "3500"}});
    const ProcessHandles owner = StartProcess(L"\"" + product.MainProgram() + L"\"");
    ASSERT_EQ(WaitForRecords(product.MainProgram(), "mutex_owned", 1).size(), 1u);

    ExpectUpdate(1, SucceededLog());
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
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
}

TEST_F(SmoothUpdateEngine, ProductUninstallThatCannotStart) {
    const Lines expected = Then(kThroughStop, {"CreateProcess /uninstall_product 0x000A0000  Fail"});

    // The engine service is registered, its program has gone (renamed while it runs).
    ASSERT_TRUE(MoveFileW(product.EngineService().c_str(), (product.engineDir + L"\\zelserv.gone").c_str()));
    ExpectUpdate(0, expected);
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_STOPPED));

    // No engine service at all: the stop is accepted and the engine folder is
    // empty. "\zelserv.exe" and "\izelreg.exe" would name the programs in the
    // drive's root: recorders planted there must never run.
    standin::RemoveService(L"zelserv", 0);
    const std::wstring rootEngine = L"C:\\zelserv.exe";
    const std::wstring rootRegistration = L"C:\\izelreg.exe";
    CopyFromBin(L"zelserv.exe", rootEngine);
    CopyFromBin(L"izelreg.exe", rootRegistration);
    ExpectUpdate(0, expected);
    EXPECT_TRUE(ReadRecords(product.EngineService(), "start").empty());
    EXPECT_TRUE(ReadRecords(rootEngine).empty());
    EXPECT_TRUE(ReadRecords(rootRegistration).empty());
    DeleteFileW(rootEngine.c_str());
    DeleteFileW(rootRegistration.c_str());
}

TEST_F(SmoothUpdateFramework, FrameworkQueryDecidesOnTheRemovalByItsExitCode) {
    // 0: the framework stays; deinstaller and engine service uninstall are skipped without a line.
    WriteSettings(product.EngineService(), {{"can_uninstall_framework.exit_code", "0"}});
    ExpectUpdate(1, Then(InstalledAfter(kThroughStop, product.Tool()),
                         ServiceStartLines(kProductDir, "_DoCreateProcess Suc")));
    EXPECT_EQ(OptionsStarted(product.EngineService()), kUpToTheFrameworkQuery);
    EXPECT_TRUE(ReadRecords(product.Deinstaller(), "start").empty());

    // Any other non-zero code than the stand-in's usual 1: the removal runs.
    WriteSettings(product.EngineService(), {{"can_uninstall_framework.exit_code", "7"}});
    ClearRecords(product.EngineService());
    // The first run started the product's service: stopped, it is started again.
    ASSERT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    ASSERT_EQ(RunCommand(L"\"" + product.ProductService() + L"\" -stop").exitCode, 0u);
    ExpectUpdate(1, SucceededLog());
    EXPECT_EQ(OptionsStarted(product.EngineService()),
              (std::vector<std::string>{"/uninstall_product", "/can_uninstall_framework", "/uninstall"}));
    EXPECT_EQ(ReadRecords(product.Deinstaller(), "start").size(), 1u);
}

TEST_F(SmoothUpdateLaterSteps, MissingStagingFolderFailsTheExchange) {
    RemoveTree(product.productDir + L"\\reupdate");
    RemoveDirectoryW((product.productDir + L"\\reupdate").c_str());
    WriteText(product.productDir + L"\\settings.cfg", "settings v1");

    // Nothing to stage: the update ends before the main program is ended.
    ExpectUpdate(0, {kLogStart, "_DoStageUpdateFiles Fail"});
    EXPECT_FALSE(HasEnded(mainProgram));
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), DWORD{SERVICE_RUNNING});
    EXPECT_FALSE(DirExists(product.productDir + L"\\updatetemp"));
    EXPECT_EQ(ReadBytes(product.productDir + L"\\settings.cfg"), "settings v1");
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain"));
    EXPECT_TRUE(ReadRecords(product.ProductService(), "start").empty());
}

TEST_F(SmoothUpdateLaterSteps, MissingSolutionLibraryIsReportedAndTheUpdateGoesOn) {
    ASSERT_TRUE(DeleteFileW(product.Solution().c_str()));
    // The install's message reaches the console the update was started from.
    EXPECT_EQ(ExpectUpdate(1, Then(InstalledAfter(kThroughEngineUninstall, product.Tool(), {kEngineInstallFailed}),
                                   ServiceStartLines(kProductDir, "_DoCreateProcess Suc"))),
              "\r\n" + ToUtf8(product.Solution()) + " file do not exists \r\n");
    EXPECT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
}

TEST_F(SmoothUpdateLaterSteps, CopyFailuresOfTheExchangeAreLogged) {
    const std::wstring& dir = product.productDir;
    WriteText(dir + L"\\reupdate\\Main.DLL", "main v2");
    WriteText(dir + L"\\Main.dll", "main v1");

    // An earlier backup's leftover that cannot be deleted, where the backup
    // needs a folder, leaves no way to back Sub\ up.
    WriteText(dir + L"\\Sub\\x.txt", "x");
    WriteText(dir + L"\\reupdate\\Sub\\x.txt", "x v2");
    WriteText(dir + L"\\updatetemp\\sub", "left by an earlier run");
    {
        FileHandle held(CreateFileW((dir + L"\\updatetemp\\sub").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.Valid());
        ExpectUpdate(0, Then(kThroughEngineUninstall,
                             {kExchange, "Copy file rux to rux\\updatetemp Fail", kExchangeFail}));
        // What was staged beside the product is gone again.
        for (const wchar_t* staged : {L"\\zelunst-0.new", L"\\zelunst-1.new", L"\\Sub\\zelunst-0.new",
                                      L"\\Sub\\zelunst-1.new"}) {
            EXPECT_FALSE(FileExists(dir + staged)) << ToUtf8(staged);
        }
    }
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "main v1");

    // A staged file whose target is a folder cannot be put there: the update
    // ends before anything is ended or stopped.
    WriteText(dir + L"\\reupdate\\conflict", "a file");
    WriteText(dir + L"\\conflict\\inside.txt", "a folder");
    ASSERT_EQ(standin::StartServiceByName(L"zelserv"), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(L"zelserv", SERVICE_RUNNING, 10000));
    ExpectUpdate(0, {kLogStart, "Copy file rux\\reupdate to rux\\ Fail", "_DoStageUpdateFiles Fail"});
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(ReadBytes(dir + L"\\conflict\\inside.txt"), "a folder");
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "main v1");
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain"));
}

