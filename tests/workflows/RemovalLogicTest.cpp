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

TEST(RemovalPolling, LooksSixTimesAndSleepsFiveTimesAtMostAndStopsWithoutAManager) {
    constexpr ServiceLook kUp = ServiceLook::NotStopped, kDown = ServiceLook::Stopped;
    const struct {
        std::vector<ServiceLook> looks;
        bool stopped;
        const char* calls;
    } cases[] = {
        {{kUp}, false, "QSQSQSQSQSQ"},
        // Seen stopped at once: one look, and the sleep after it still happens.
        {{kDown}, true, "QS"},
        // Stopping between the fifth and the sixth look: no sleep after the sixth.
        {{kUp, kUp, kUp, kUp, kUp, kDown}, true, "QSQSQSQSQSQ"},
        // Once seen stopped it counts, even if a later look would disagree.
        {{kUp, kDown, kUp}, true, "QSQS"},
        {{kUp, ServiceLook::ManagerUnavailable}, false, "QSQ"},
    };
    for (const auto& scripted : cases) {
        ScriptedService service(scripted.looks);
        EXPECT_EQ(service.Poll(), scripted.stopped) << scripted.calls;
        EXPECT_EQ(service.calls, scripted.calls);
    }
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
