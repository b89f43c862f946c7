// The removal's polling and path rules, without touching the system.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "workflows/RemoveProduct.h"

namespace {

// Replays a scripted sequence of looks and records every call in order.
struct ScriptedService {
    explicit ScriptedService(std::vector<ServiceLook> looks) : script(std::move(looks)) {}
    std::vector<ServiceLook> script;
    std::string calls;
    size_t next = 0;

    ServiceLook Look() {
        calls += "Q";
        return next < script.size() ? script[next++] : script.back();
    }
    void Sleep(DWORD ms) { calls += ms == 1000 ? "S" : "?"; }
    bool Poll() {
        return PollServiceStopped([this] { return Look(); }, [this](DWORD ms) { Sleep(ms); });
    }
};

}  // namespace

TEST(RemovalPolling, LooksSixTimesAndSleepsFiveTimesAtMost) {
    ScriptedService neverStops({ServiceLook::NotStopped});
    EXPECT_FALSE(neverStops.Poll());
    EXPECT_EQ(neverStops.calls, "QSQSQSQSQSQ");

    // Seen stopped at once: one look, and the sleep after it still happens.
    ScriptedService stoppedAtOnce({ServiceLook::Stopped});
    EXPECT_TRUE(stoppedAtOnce.Poll());
    EXPECT_EQ(stoppedAtOnce.calls, "QS");

    // Stopping between the fifth and the sixth look: no sleep after the sixth.
    ScriptedService stopsLate({ServiceLook::NotStopped, ServiceLook::NotStopped, ServiceLook::NotStopped,
                               ServiceLook::NotStopped, ServiceLook::NotStopped, ServiceLook::Stopped});
    EXPECT_TRUE(stopsLate.Poll());
    EXPECT_EQ(stopsLate.calls, "QSQSQSQSQSQ");

    // Once seen stopped it counts, even if a later look would disagree.
    ScriptedService flickers({ServiceLook::NotStopped, ServiceLook::Stopped, ServiceLook::NotStopped});
    EXPECT_TRUE(flickers.Poll());
    EXPECT_EQ(flickers.calls, "QSQS");
}

TEST(RemovalPolling, UnavailableServiceManagerEndsPollingAtOnce) {
    ScriptedService noManager({ServiceLook::NotStopped, ServiceLook::ManagerUnavailable});
    EXPECT_FALSE(noManager.Poll());
    EXPECT_EQ(noManager.calls, "QSQ");
}

TEST(RemovalPaths, AreFormedFromTheProgramDirectoryOrRefusedWhole) {
    RemovalPaths paths;
    ASSERT_TRUE(BuildRemovalPaths(L"C:\\P", paths));
    EXPECT_EQ(paths.serviceProgram, L"C:\\P/ruxserv.exe");
    EXPECT_EQ(paths.uninstallFolder, L"C:\\P\\uninstall");
    EXPECT_EQ(paths.firstDeinstallCopy, L"C:\\P\\deinstall.exe");
    EXPECT_EQ(paths.directUninstaller, L"C:\\P\\uninstall\\unins000.exe");
    EXPECT_EQ(paths.searchPattern, L"C:\\P\\uninstall\\*.exe");

    // The longest path is the direct uninstaller: programDir + 23 characters.
    const std::wstring fits = L"C:\\" + std::wstring(259 - 23 - 3, L'a');
    EXPECT_TRUE(BuildRemovalPaths(fits, paths));
    EXPECT_EQ(paths.directUninstaller.size(), 259u);
    EXPECT_FALSE(BuildRemovalPaths(fits + L"a", paths));
    EXPECT_FALSE(BuildRemovalPaths(L"", paths));

    EXPECT_EQ(SecondDeinstallCopy(L"C:\\Program Files\\Common Files"),
              L"C:\\Program Files\\Common Files\\Draveno\\CommonService\\deinstall.exe");
    // Unknown common files folder: no path at the drive's root.
    EXPECT_EQ(SecondDeinstallCopy(L""), L"");
    EXPECT_EQ(SecondDeinstallCopy(L"C:\\" + std::wstring(230, L'c')), L"");
}
