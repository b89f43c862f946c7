// The waits of the workflows on other programs: each child's bound, and what
// each outcome leaves in the run log (the test program's own, beside it). The
// children are made up: nothing is started.
#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "base/ToolPaths.h"
#include "tests/support/TestSupport.h"
#include "workflows/RemoveProduct.h"
#include "workflows/SmoothUpdate.h"

using namespace zeltest;

namespace {

using Lines = std::vector<std::string>;
using End = ChildRun::End;

ChildRun Outcome(End end, DWORD exitCode = 0, DWORD error = ERROR_SUCCESS) {
    ChildRun run;
    run.end = end;
    run.exitCode = exitCode;
    run.processId = end == End::NotStarted ? 0 : 4711;
    run.error = error;
    return run;
}

// A step of a workflow that waits for one child, and the child it must ask for.
struct Step {
    // Runs the step with the given runner; its result, or true for a step without one.
    std::function<bool(const ChildRunner&)> run;
    Launch launch;
    std::wstring commandLine;
    DWORD boundMs;
};

struct Row {
    const char* name;
    const Step* step;
    ChildRun outcome;
    bool result;
    Lines log;
};

}  // namespace

TEST(BoundedWaits, EachChildHasItsBoundAndWhatOutlivesItIsLoggedAndLeft) {
    ToolPaths paths;
    wcscpy_s(paths.programDir, L"C:\\Program Files\\Ostiga");
    wcscpy_s(paths.programFile, L"zelunst.exe");
    wcscpy_s(paths.engineDir, L"C:\\Zel");
    const Step query{[&paths](const ChildRunner& run) { return _CanUninstallFramework(paths, run); },
                     Launch::Windowless, L"C:\\Zel\\zelserv.exe /can_uninstall_framework", 60000};
    const Step install{[&paths](const ChildRunner& run) {
                           InstallEngineInItsOwnProcess(paths, run);
                           return true;
                       },
                       Launch::WindowlessSharingOutput, L"\"C:\\Program Files\\Ostiga\\zelunst.exe\" -install", 120000};
    const Step stop{[](const ChildRunner& run) {
                        StopThroughServiceProgram(L"C:\\Program Files\\Ostiga/ruxserv.exe", run);
                        return true;
                    },
                    Launch::Windowless, L"\"C:\\Program Files\\Ostiga/ruxserv.exe\" -stop", 60000};
    const std::string started =
        "Install the engine in a process of its own: \"C:\\Program Files\\Ostiga\\zelunst.exe\" -install";
    const Row rows[] = {
        {"query answers yes", &query, Outcome(End::Ended, 1), true, {}},
        {"query answers no", &query, Outcome(End::Ended, 0), false, {}},
        {"query silent", &query, Outcome(End::StillRunning), false,
         {"zelserv.exe /can_uninstall_framework gave no answer within 60 s; taken as no, left running"}},
        {"install succeeds", &install, Outcome(End::Ended, 0), true, {started}},
        {"install fails or crashes", &install, Outcome(End::Ended, 0xFFFFFFFF), true,
         {started, "The engine install (process 4711) failed with exit code 0xFFFFFFFF; the update goes on"}},
        {"install hangs", &install, Outcome(End::StillRunning), true,
         {started, "The engine install (process 4711) is still running after 120 s; left running, the update goes on"}},
        {"install cannot start", &install, Outcome(End::NotStarted, 0, ERROR_FILE_NOT_FOUND), true,
         {started, "The engine install could not be started (error 2); the update goes on"}},
        {"stop ends", &stop, Outcome(End::Ended, 1460), true, {}},
        {"stop hangs", &stop, Outcome(End::StillRunning), true,
         {"ruxserv.exe -stop still running after 60 s; left running"}},
    };
    for (const Row& row : rows) {
        int asked = 0;
        const ChildRunner run = [&](Launch launch, const std::wstring& commandLine, DWORD timeoutMs) {
            ++asked;
            EXPECT_EQ(launch, row.step->launch) << row.name;
            EXPECT_EQ(commandLine, row.step->commandLine) << row.name;
            EXPECT_EQ(timeoutMs, row.step->boundMs) << row.name;
            return row.outcome;
        };
        const size_t before = LogLines(TestProgramFolder()).size();
        EXPECT_EQ(row.step->run(run), row.result) << row.name;
        const Lines all = LogLines(TestProgramFolder());
        EXPECT_EQ(Lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()), row.log) << row.name;
        EXPECT_EQ(asked, 1) << row.name;
    }
}
