// The bounds of the workflows' waits on other programs, with made-up children:
// nothing is started. What each outcome logs the whole-update tests show,
// except those of an engine install that no whole update meets.
#include <gtest/gtest.h>

#include <cwchar>

#include "base/ToolPaths.h"
#include "tests/support/TestSupport.h"
#include "workflows/RemoveProduct.h"
#include "workflows/SmoothUpdate.h"

using namespace zeltest;

TEST(BoundedWaits, EachChildIsWaitedForWithinItsBound) {
    ToolPaths paths;
    wcscpy_s(paths.programDir, L"C:\\P");
    wcscpy_s(paths.programFile, L"zelunst.exe");
    wcscpy_s(paths.engineDir, L"C:\\E");
    ChildRun outcome;
    outcome.end = ChildRun::End::StillRunning;
    std::vector<std::wstring> asked;
    const ChildRunner run = [&](Launch launch, const std::wstring& commandLine, DWORD timeoutMs) {
        asked.push_back(commandLine + L" within " + std::to_wstring(timeoutMs) +
                        (launch == Launch::WindowlessSharingOutput ? L", output shared" : L""));
        return outcome;
    };
    EXPECT_FALSE(_CanUninstallFramework(paths, run));  // a silent engine keeps its framework
    StopThroughServiceProgram(L"C:\\P/ruxserv.exe", run);
    EXPECT_EQ(asked, (std::vector<std::wstring>{L"C:\\E\\zelserv.exe /can_uninstall_framework within 60000",
                                                L"C:\\P/ruxserv.exe -stop within 60000"}));

    // The engine install's outcomes that no whole update shows. It is handed
    // the update's 120 s, waited for with its report's 40 s and 40 s more, and
    // writes where the tool writes.
    const struct {
        ChildRun::End end;
        DWORD handOnRefused;
        std::vector<std::string> logged;
    } installs[] = {
        {ChildRun::End::StillRunning, ERROR_SUCCESS,
         {"The engine install (process 7) is still running after 200 s; left running, the update goes on"}},
        {ChildRun::End::NotStarted, ERROR_SUCCESS,
         {"The engine install could not be started (error 5); the update goes on"}},
        {ChildRun::End::WaitFailed, ERROR_SUCCESS,
         {"The engine install (process 7) could not be waited for (error 5); the update goes on"}},
        {ChildRun::End::Ended, ERROR_INVALID_PARAMETER,
         {"The engine install got no standard handles: the system refused them (error 87)"}},
    };
    outcome.processId = 7;
    outcome.error = ERROR_ACCESS_DENIED;
    for (const auto& install : installs) {
        outcome.end = install.end;
        outcome.handOnRefused = install.handOnRefused;
        asked.clear();
        InstallEngineInItsOwnProcess(paths, run);
        EXPECT_EQ(asked, std::vector<std::wstring>{
                             L"C:\\P\\zelunst.exe -install EngineCallTimeout=120 within 200000, output shared"});
        const std::vector<std::string> log = LogLines(TestProgramFolder());
        EXPECT_EQ(std::vector<std::string>(log.end() - static_cast<std::ptrdiff_t>(install.logged.size()), log.end()),
                  install.logged);
    }

    // An administrator's limit is handed on and waited for the same way; with
    // none the update waits its own 120 s.
    EXPECT_EQ(EngineInstallBoundFor({5, true}).waitMs, 85000u);
    EXPECT_EQ(EngineInstallBoundFor({0, true}).waitMs, 120000u);
    EXPECT_EQ(EngineInstallBoundFor({5000000, true}).waitMs, INFINITE - 1);
}
