// Stopping and querying the products' services through Wine's real service
// manager, with stand-in services that stop late or refuse to stop.
#include <gtest/gtest.h>

#include "system/Products.h"
#include "system/Services.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

constexpr DWORD kEFail = 0x80004005;
const std::wstring kEngine = products::kEngineService;

// Registers the stand-in as the service (demand start) and starts it when asked.
std::wstring InstallService(const std::wstring& name, const std::wstring& program, bool start,
                            const std::map<std::string, std::string>& settings = {}) {
    standin::RemoveService(name, 0);
    const std::wstring exe = FreshDir(L"svc_" + name) + L"\\" + program;
    CopyFromBin(program, exe);
    ClearRecords(exe);
    WriteSettings(exe, settings);
    EXPECT_EQ(standin::RegisterService(name, exe), DWORD{ERROR_SUCCESS});
    if (start) {
        EXPECT_EQ(standin::StartServiceByName(name), DWORD{ERROR_SUCCESS});
        EXPECT_TRUE(standin::WaitForServiceState(name, SERVICE_RUNNING, 20000));
    }
    return exe;
}

// Stops the engine service through the code under test and checks the result,
// the state afterwards and the number of stop controls it received.
void ExpectStop(const std::wstring& exe, DWORD result, DWORD state, size_t controls) {
    EXPECT_EQ(ZelUnstall_StopServices(), result);
    EXPECT_EQ(standin::QueryServiceState(kEngine), state);
    EXPECT_EQ(ReadRecords(exe, "stop_request").size(), controls);
}

void StopAndRemove(const std::wstring& name, const std::wstring& exe) {
    ClearSettings(exe);
    WaitForRecords(exe, "accepts_stop", 1, 2000);  // the service re-reads its settings
    standin::RemoveService(name, 0);
    standin::WaitForServiceState(name, 0, 20000);
}

}  // namespace

TEST(StopServices, NotInstalledAlreadyStoppedAndRunning) {
    standin::RemoveService(kEngine, 0);
    EXPECT_EQ(ZelUnstall_StopServices(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});

    std::wstring exe = InstallService(kEngine, L"zelserv.exe", false);
    ExpectStop(exe, 0, SERVICE_STOPPED, 0);
    EXPECT_TRUE(ReadRecords(exe).empty());

    exe = InstallService(kEngine, L"zelserv.exe", true);
    ExpectStop(exe, 0, SERVICE_STOPPED, 1);
    const std::vector<StandInRecord> requests = ReadRecords(exe, "stop_request");
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].Field("control"), "1");
    EXPECT_EQ(ReadRecords(exe, "service_stopped").size(), 1u);
    standin::RemoveService(kEngine, 0);
}

TEST(StopServicesSlow, ServiceStoppingLateIsWaitedFor) {
    const std::wstring exe = InstallService(kEngine, L"zelserv.exe", true, {{"stop_delay_ms", "1500"}});
    ExpectStop(exe, 0, SERVICE_STOPPED, 1);
    EXPECT_EQ(ReadRecords(exe, "service_stopped").size(), 1u);
    standin::RemoveService(kEngine, 0);
}

TEST(StopServicesSlow, ServiceThatNeverStopsGivesEFail) {
    const std::wstring exe = InstallService(kEngine, L"zelserv.exe", true, {{"refuse_stop", "1"}});
    EXPECT_EQ(ZelUnstall_StopServices(), kEFail);
    EXPECT_EQ(standin::QueryServiceState(kEngine), DWORD{SERVICE_RUNNING});
    StopAndRemove(kEngine, exe);
}

TEST(StopServicesSlow, ServiceStillStoppingAfterThePollsGivesEFail) {
    const std::wstring exe = InstallService(kEngine, L"zelserv.exe", true, {{"stop_delay_ms", "8000"}});
    ExpectStop(exe, kEFail, SERVICE_STOP_PENDING, 1);
    standin::WaitForServiceState(kEngine, SERVICE_STOPPED, 20000);
    standin::RemoveService(kEngine, 0);
}

TEST(QueryState, GivesTheProductServicesStateOrEFail) {
    standin::RemoveService(products::kProductService, 0);
    DWORD state = 77;
    EXPECT_EQ(VMyQueryServicState(&state), static_cast<HRESULT>(kEFail));
    EXPECT_EQ(state, 77u);
    EXPECT_EQ(VMyQueryServicState(nullptr), static_cast<HRESULT>(kEFail));

    const std::wstring exe = InstallService(products::kProductService, L"ruxserv.exe", false);
    EXPECT_EQ(VMyQueryServicState(&state), S_OK);
    EXPECT_EQ(state, DWORD{SERVICE_STOPPED});
    ASSERT_EQ(standin::StartServiceByName(products::kProductService), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(products::kProductService, SERVICE_RUNNING, 20000));
    EXPECT_EQ(VMyQueryServicState(&state), S_OK);
    EXPECT_EQ(state, DWORD{SERVICE_RUNNING});
    StopAndRemove(products::kProductService, exe);
}

TEST(QueryState, LookAtTheProductServiceSeesStoppedOnlyWhenItIs) {
    standin::RemoveService(products::kProductService, 0);
    EXPECT_EQ(LookAtProductService(), ServiceLook::NotStopped);

    const std::wstring exe = InstallService(products::kProductService, L"ruxserv.exe", false);
    EXPECT_EQ(LookAtProductService(), ServiceLook::Stopped);
    ASSERT_EQ(standin::StartServiceByName(products::kProductService), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(products::kProductService, SERVICE_RUNNING, 20000));
    EXPECT_EQ(LookAtProductService(), ServiceLook::NotStopped);
    StopAndRemove(products::kProductService, exe);
}
