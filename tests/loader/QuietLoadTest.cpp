// The solution library is loaded with the critical-error boxes off for the
// loading thread only, and every error mode is as before afterwards.
#include <gtest/gtest.h>

#include "base/Handles.h"
#include "engine/SolutionLoader.h"
#include "engine/UnstallContext.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

constexpr DWORD kQuiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
using ErrorModesFn = void (*)(DWORD*, DWORD*);

// A context whose solution library is a copy of the given build output.
void UseSolution(CUnstallContext& context, const std::wstring& dirName, const std::wstring& library) {
    const std::wstring path = FreshDir(dirName) + L"\\zeldecs.dll";
    CopyFromBin(library, path);
    wcscpy_s(context.solutionPath, MAX_PATH, path.c_str());
    context.initialised = 1;
}

// Sets the calling thread's error mode for one test and puts the old one back.
class ThreadErrorMode {
public:
    explicit ThreadErrorMode(DWORD mode) { SetThreadErrorMode(mode, &previous_); }
    ~ThreadErrorMode() { SetThreadErrorMode(previous_, nullptr); }
    ThreadErrorMode(const ThreadErrorMode&) = delete;
    ThreadErrorMode& operator=(const ThreadErrorMode&) = delete;

private:
    DWORD previous_ = 0;
};

}  // namespace

TEST(QuietLoad, BoxesAreOffForTheLoadingThreadOnlyWhileTheLibraryLoads) {
    for (const DWORD threadMode : {DWORD{0}, DWORD{SEM_NOGPFAULTERRORBOX}}) {
        SCOPED_TRACE(threadMode);
        const ThreadErrorMode setMode(threadMode);
        const DWORD processMode = GetErrorMode();
        CUnstallContext context;
        UseSolution(context, L"quietload", L"error_mode_probe.dll");

        // The probe hands out no interface, so the library stays loaded.
        EXPECT_EQ(_LoadSolution(context), 0);
        const Library probe(context.comDll.module);
        ASSERT_TRUE(probe.Valid());
        const auto errorModes =
            reinterpret_cast<ErrorModesFn>(reinterpret_cast<void*>(GetProcAddress(probe.Get(), "ErrorModesAtAttach")));
        ASSERT_NE(errorModes, nullptr);
        DWORD threadModeAtAttach = 0;
        DWORD processModeAtAttach = 0;
        errorModes(&threadModeAtAttach, &processModeAtAttach);

        EXPECT_EQ(threadModeAtAttach, threadMode | kQuiet);
        EXPECT_EQ(processModeAtAttach, processMode) << "children inherit the process error mode";
        EXPECT_EQ(GetThreadErrorMode(), threadMode);
        EXPECT_EQ(GetErrorMode(), processMode);
    }
}

TEST(QuietLoad, LibraryWithAMissingDependencyFailsToLoadAndModesAreRestored) {
    const DWORD processMode = GetErrorMode();
    const DWORD threadMode = GetThreadErrorMode();
    CUnstallContext context;
    UseSolution(context, L"missingdep", L"zeldecs_missingdep.dll");

    EXPECT_EQ(_LoadSolution(context), 0);
    EXPECT_EQ(context.comDll.module, nullptr);
    EXPECT_EQ(context.solution, nullptr);
    EXPECT_EQ(GetThreadErrorMode(), threadMode);
    EXPECT_EQ(GetErrorMode(), processMode);
}
