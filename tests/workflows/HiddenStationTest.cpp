// The two message boxes where nobody can answer them: the tool started on a
// window station of its own, which is not visible, under Xvfb, where a box
// would really wait. Each run must end on its own as if OK had been pressed.
#include <gtest/gtest.h>

#include "base/Handles.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"
#include "tests/workflows/SmoothUpdateFixture.h"

using namespace zeltest;

namespace {

const wchar_t kHiddenDesktop[] = L"ZelHidden\\Default";

// The window station "ZelHidden" with a desktop "Default" in it, for the
// lifetime of the object. A desktop is created in the calling process's own
// window station, so the process joins the new one for that call only.
class HiddenWindowStation {
public:
    HiddenWindowStation() {
        const HWINSTA own = GetProcessWindowStation();
        station_.Reset(CreateWindowStationW(L"ZelHidden", 0, WINSTA_ALL_ACCESS, nullptr));
        if (!station_ || !SetProcessWindowStation(station_.Get())) return;
        desktop_.Reset(CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr));
        SetProcessWindowStation(own);
    }
    bool Ready() const { return station_ && desktop_; }
    bool Visible() const {
        USEROBJECTFLAGS flags{};
        return GetUserObjectInformationW(station_.Get(), UOI_FLAGS, &flags, sizeof(flags), nullptr) &&
               (flags.dwFlags & WSF_VISIBLE) != 0;
    }

private:
    WindowStation station_;
    Desktop desktop_;
};

// The tool's exit code once it has ended on its own. One still running after
// the time (waiting for a box nobody sees) is ended and fails the test.
DWORD EndsOnItsOwn(const ProcessHandles& tool, DWORD timeoutMs) {
    const DWORD code = WaitExitCode(tool, timeoutMs);
    if (code == STILL_ACTIVE) {
        ADD_FAILURE() << "the tool still waits after " << timeoutMs << " ms";
        TerminateProcess(tool.process.Get(), 1);
        WaitForSingleObject(tool.process.Get(), 5000);
    }
    return code;
}

}  // namespace

TEST(HiddenStation, RemovalGoesOnAsIfTheNoticeWereAcknowledged) {
    const HiddenWindowStation station;
    ASSERT_TRUE(station.Ready());
    ASSERT_FALSE(station.Visible());
    const StandInProduct product = InstallStandInProduct(L"C:\\zt\\HiddenProduct", L"C:\\zt\\HiddenEngine");
    WriteSettings(product.ProductService(), {{"refuse_stop", "1"}, {"stop.stop_wait_ms", "500"}});
    ASSERT_EQ(standin::StartServiceByName(L"ruxserv"), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));

    const ProcessHandles tool = StartProcess(L"\"" + product.Tool() + L"\"", L"", 0, 0, kHiddenDesktop);
    ASSERT_TRUE(tool.process.Valid());
    EXPECT_EQ(EndsOnItsOwn(tool, 40000), 0xFFFFFFFFu);
    // Deleted after the box: the failure path went on past it.
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"RUXMain"));
    UninstallStandInProduct(product);
}

using HiddenStationUpdate = SmoothUpdateFixture;

TEST_F(HiddenStationUpdate, GoesOnAsIfTheNoticeWereAcknowledged) {
    const HiddenWindowStation station;
    ASSERT_TRUE(station.Ready());
    StageUpdate();

    const ProcessHandles tool =
        StartProcess(L"\"" + product.Tool() + L"\" -smoothupdate", L"", 0, 0, kHiddenDesktop);
    ASSERT_TRUE(tool.process.Valid());
    EXPECT_EQ(EndsOnItsOwn(tool, 60000), 1u);
    EXPECT_EQ(UpdateLog(product.productDir), SucceededLog());
    ExpectProductBack();
}
