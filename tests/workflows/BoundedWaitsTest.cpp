// The bounds of the workflows' waits on other programs, with made-up children:
// nothing is started. What each outcome logs the whole-update tests show,
// except an engine install that cannot start.
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
    const ChildRunner run = [&](Launch, const std::wstring& commandLine, DWORD timeoutMs) {
        asked.push_back(commandLine + L" within " + std::to_wstring(timeoutMs));
        return outcome;
    };
    EXPECT_FALSE(_CanUninstallFramework(paths, run));  // a silent engine keeps its framework
    StopThroughServiceProgram(L"C:\\P/ruxserv.exe", run);
    outcome.end = ChildRun::End::NotStarted;
    outcome.error = ERROR_FILE_NOT_FOUND;
    InstallEngineInItsOwnProcess(paths, run);
    EXPECT_EQ(asked, (std::vector<std::wstring>{L"C:\\E\\zelserv.exe /can_uninstall_framework within 60000",
                                                L"C:\\P/ruxserv.exe -stop within 60000",
                                                L"C:\\P\\zelunst.exe -install within 120000"}));
    EXPECT_EQ(LogLines(TestProgramFolder()).back(), "The engine install could not be started (error 2); the update goes on");
}
