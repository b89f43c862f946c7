// CQIVUseComDll_v2 and the loader inside the test process, on real copies of
// the stand-in solution library.
#include <gtest/gtest.h>

#include "base/Handles.h"
#include "launcher/Launcher.h"
#include "engine/SolutionLoader.h"
#include "engine/UnstallContext.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

TEST(ClassObject, ErrorCodes) {
    const std::wstring dir = FreshDir(L"classobject");
    CopyFromBin(L"zeldecs.dll", dir + L"\\with\\zeldecs.dll");
    CopyFromBin(L"zeldecs_noexport.dll", dir + L"\\without\\zeldecs.dll");

    CQIVUseComDll_v2 holder;
    IZelSolution* solution = nullptr;
    EXPECT_EQ(holder.GetClassObject(nullptr), E_POINTER);
    EXPECT_EQ(holder.GetClassObject(&solution), E_INVALIDARG);

    Library without(LoadLibraryW((dir + L"\\without\\zeldecs.dll").c_str()));
    ASSERT_TRUE(without.Valid());
    holder.module = without.Get();
    EXPECT_EQ(holder.GetClassObject(&solution), CO_E_ERRORINDLL);
    EXPECT_EQ(solution, nullptr);

    Library with(LoadLibraryW((dir + L"\\with\\zeldecs.dll").c_str()));
    ASSERT_TRUE(with.Valid());
    holder.module = with.Get();
    EXPECT_EQ(holder.GetClassObject(nullptr), E_POINTER);
    ASSERT_EQ(holder.GetClassObject(&solution), S_OK);
    ASSERT_NE(solution, nullptr);
    // The calls through the interface are proven with the whole exe (LoaderRunTest).
    EXPECT_EQ(solution->Release(), 0u);
    holder.module = nullptr;
}

TEST(ClassObject, OneRunLoadsTheLibraryOnceAndUninitFreesIt) {
    const std::wstring dir = FreshDir(L"loadonce");
    CopyFromBin(L"zeldecs.dll", dir + L"\\zeldecs.dll");
    CUnstallContext context;
    wcscpy_s(context.solutionPath, MAX_PATH, (dir + L"\\zeldecs.dll").c_str());
    context.initialised = 1;

    EXPECT_EQ(_DoInstall(context), 1);
    EXPECT_EQ(_DoUnInstall(context), 1);
    ASSERT_NE(context.solution, nullptr);
    EXPECT_NE(context.comDll.module, nullptr);
    EXPECT_EQ(Uninit(context), 1);
    EXPECT_EQ(context.solution, nullptr);
    EXPECT_EQ(context.comDll.module, nullptr);
    EXPECT_EQ(context.initialised, 0);

    EXPECT_EQ(FileLines(dir + L"\\zeldecs.record"),
              (std::vector<std::string>{
                  "DLL_PROCESS_ATTACH",
                  "DllGetClassObject {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83} {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B}",
                  "Initialize 0", "Install 0", "Uninitialize", "Initialize 0", "Uninstall", "Uninitialize",
                  "Release -> 0", "DLL_PROCESS_DETACH FreeLibrary"}));
}
