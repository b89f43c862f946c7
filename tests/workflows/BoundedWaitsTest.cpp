// The bounds of the workflows' waits on other programs, and what a child that
// outlives its bound (or never starts) leaves in the run log, the test
// program's own beside it. The children are made up: nothing is started.
#include <gtest/gtest.h>

#include <cwchar>
#include <functional>

#include "base/ToolPaths.h"
#include "tests/support/TestSupport.h"
#include "workflows/RemoveProduct.h"
#include "workflows/SmoothUpdate.h"

using namespace zeltest;

TEST(BoundedWaits, EachChildHasItsBoundAndWhatOutlivesItIsLoggedAndLeft) {
    ToolPaths paths;
    wcscpy_s(paths.programDir, L"C:\\Program Files\\Ostiga");
    wcscpy_s(paths.programFile, L"zelunst.exe");
    wcscpy_s(paths.engineDir, L"C:\\Zel");
    using End = ChildRun::End;
    const std::string install = "Install the engine in a process of its own: \"C:\\Program Files\\Ostiga\\zelunst.exe\" -install";
    const struct {
        std::function<bool(const ChildRunner&)> step;  // its result, true for a step without one
        std::wstring commandLine;
        DWORD boundMs;
        End end;
        bool result;
        std::vector<std::string> log;
    } rows[] = {
        {[&](const ChildRunner& run) { return _CanUninstallFramework(paths, run); },
         L"C:\\Zel\\zelserv.exe /can_uninstall_framework", 60000, End::StillRunning, false,
         {"zelserv.exe /can_uninstall_framework gave no answer within 60 s; taken as no, left running"}},
        {[&](const ChildRunner& run) { return InstallEngineInItsOwnProcess(paths, run), true; },
         L"\"C:\\Program Files\\Ostiga\\zelunst.exe\" -install", 120000, End::StillRunning, true,
         {install, "The engine install (process 4711) is still running after 120 s; left running, the update goes on"}},
        {[&](const ChildRunner& run) { return InstallEngineInItsOwnProcess(paths, run), true; },
         L"\"C:\\Program Files\\Ostiga\\zelunst.exe\" -install", 120000, End::NotStarted, true,
         {install, "The engine install could not be started (error 2); the update goes on"}},
        {[](const ChildRunner& run) { return StopThroughServiceProgram(L"C:\\Program Files\\Ostiga/ruxserv.exe", run), true; },
         L"\"C:\\Program Files\\Ostiga/ruxserv.exe\" -stop", 60000, End::StillRunning, true,
         {"ruxserv.exe -stop still running after 60 s; left running"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(ToUtf8(row.commandLine));
        std::vector<std::wstring> asked;
        const ChildRunner run = [&](Launch, const std::wstring& commandLine, DWORD timeoutMs) {
            asked.push_back(commandLine + L" within " + std::to_wstring(timeoutMs));
            ChildRun child;
            child.end = row.end;
            child.processId = 4711;
            child.error = ERROR_FILE_NOT_FOUND;
            return child;
        };
        const size_t before = LogLines(TestProgramFolder()).size();
        EXPECT_EQ(row.step(run), row.result);
        const std::vector<std::string> log = LogLines(TestProgramFolder());
        EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(before), log.end()), row.log);
        EXPECT_EQ(asked, std::vector<std::wstring>{row.commandLine + L" within " + std::to_wstring(row.boundMs)});
    }
}
