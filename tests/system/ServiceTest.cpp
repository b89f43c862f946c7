// Stopping and querying the products' services through Wine's real service
// manager, with stand-in services that stop late or refuse to stop.
#include <gtest/gtest.h>

#include <cstdio>

#include "system/Products.h"
#include "system/ServiceControl.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"
#include "tests/system/SystemTestSupport.h"

using namespace zeltest;
using namespace systest;

namespace {

constexpr DWORD kEFail = 0x80004005;

// Registers the stand-in as the service (demand start) and starts it when asked.
std::wstring InstallService(const std::wstring& name, const std::wstring& program, bool start,
                            const std::map<std::string, std::string>& settings = {}) {
    RemoveTestService(name);
    const std::wstring exe = PlaceStandIn(program, FreshDir(L"svc_" + name) + L"\\" + program);
    ClearRecords(exe);
    WriteSettings(exe, settings);
    EXPECT_TRUE(CreateTestService(name, exe));
    if (start) {
        EXPECT_TRUE(StartTestService(name));
        EXPECT_TRUE(WaitServiceState(name, SERVICE_RUNNING, 20000));
    }
    return exe;
}

void StopAndRemove(const std::wstring& name, const std::wstring& exe) {
    ClearSettings(exe);
    WaitForRecords(exe, "accepts_stop", 1, 2000);  // the service re-reads its settings
    RemoveTestService(name);
    WaitServiceState(name, 0, 20000);
}

}  // namespace

TEST(StopServices, EngineServiceNotInstalledGives1060AtOnce) {
    RemoveTestService(products::kEngineService);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(ZelUnstall_StopServices(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    std::printf("not installed: %.2f s\n", SecondsSince(start));
}

TEST(StopServices, AlreadyStoppedServiceGivesZeroWithoutAControl) {
    const std::wstring exe = InstallService(products::kEngineService, L"zelserv.exe", false);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(ZelUnstall_StopServices(), 0u);
    std::printf("already stopped: %.2f s\n", SecondsSince(start));
    EXPECT_EQ(ServiceState(products::kEngineService), DWORD{SERVICE_STOPPED});
    EXPECT_TRUE(ReadRecords(exe).empty());
    RemoveTestService(products::kEngineService);
}

TEST(StopServices, RunningServiceIsStoppedWithOneControl) {
    const std::wstring exe = InstallService(products::kEngineService, L"zelserv.exe", true);
    EXPECT_EQ(ZelUnstall_StopServices(), 0u);
    EXPECT_EQ(ServiceState(products::kEngineService), DWORD{SERVICE_STOPPED});
    const std::vector<StandInRecord> requests = ReadRecords(exe, "stop_request");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Field("control"), "1");
    EXPECT_EQ(ReadRecords(exe, "service_stopped").size(), 1u);
    RemoveTestService(products::kEngineService);
}

TEST(StopServicesSlow, ServiceStoppingLateIsWaitedFor) {
    const std::wstring exe = InstallService(products::kEngineService, L"zelserv.exe", true, {{"stop_delay_ms", "1500"}});
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(ZelUnstall_StopServices(), 0u);
    std::printf("stopped 1.5 s after the control: %.2f s\n", SecondsSince(start));
    EXPECT_EQ(ServiceState(products::kEngineService), DWORD{SERVICE_STOPPED});
    EXPECT_EQ(ReadRecords(exe, "stop_request").size(), 1u);
    EXPECT_EQ(ReadRecords(exe, "service_stopped").size(), 1u);
    RemoveTestService(products::kEngineService);
}

TEST(StopServicesSlow, ServiceThatNeverStopsGivesEFail) {
    const std::wstring exe = InstallService(products::kEngineService, L"zelserv.exe", true, {{"refuse_stop", "1"}});
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(ZelUnstall_StopServices(), kEFail);
    std::printf("never stops: %.2f s\n", SecondsSince(start));
    EXPECT_EQ(ServiceState(products::kEngineService), DWORD{SERVICE_RUNNING});
    StopAndRemove(products::kEngineService, exe);
}

TEST(StopServicesSlow, ServiceStillStoppingAfterThePollsGivesEFail) {
    const std::wstring exe = InstallService(products::kEngineService, L"zelserv.exe", true, {{"stop_delay_ms", "8000"}});
    EXPECT_EQ(ZelUnstall_StopServices(), kEFail);
    EXPECT_EQ(ServiceState(products::kEngineService), DWORD{SERVICE_STOP_PENDING});
    EXPECT_EQ(ReadRecords(exe, "stop_request").size(), 1u);
    WaitServiceState(products::kEngineService, SERVICE_STOPPED, 20000);
    RemoveTestService(products::kEngineService);
}

TEST(QueryState, GivesTheProductServicesStateOrEFail) {
    RemoveTestService(products::kProductService);
    DWORD state = 77;
    EXPECT_EQ(VMyQueryServicState(&state), static_cast<HRESULT>(kEFail));
    EXPECT_EQ(state, 77u);
    EXPECT_EQ(VMyQueryServicState(nullptr), static_cast<HRESULT>(kEFail));

    const std::wstring exe = InstallService(products::kProductService, L"ruxserv.exe", false);
    EXPECT_EQ(VMyQueryServicState(&state), S_OK);
    EXPECT_EQ(state, DWORD{SERVICE_STOPPED});

    ASSERT_TRUE(StartTestService(products::kProductService));
    ASSERT_TRUE(WaitServiceState(products::kProductService, SERVICE_RUNNING, 20000));
    EXPECT_EQ(VMyQueryServicState(&state), S_OK);
    EXPECT_EQ(state, DWORD{SERVICE_RUNNING});
    StopAndRemove(products::kProductService, exe);
}
