// CQIVUseComDll_v2 and the loader inside the test process, on real copies of
// the stand-in solution library.
#include <gtest/gtest.h>

#include "launcher/Launcher.h"
#include "launcher/SolutionLoader.h"
#include "launcher/UnstallContext.h"
#include "system/Handles.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

std::vector<std::string> Recorded(const std::wstring& dir) {
    const std::string bytes = ReadBytes(dir + L"\\zeldecs.record");
    std::vector<std::string> lines;
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) break;
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace

TEST(ClassObject, ErrorCodesAndTheInterface) {
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
    // Slot order: Initialize and Uninitialize are slots 6 and 7, Install slot 3.
    EXPECT_EQ(solution->Initialize(0), S_OK);
    EXPECT_EQ(solution->Install(0), S_OK);
    solution->Uninitialize();
    EXPECT_EQ(solution->Release(), 0u);
    holder.module = nullptr;

    // The stand-in answers only for the solution's own identifiers.
    const auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(with.Get(), "DllGetClassObject")));
    ASSERT_NE(getClassObject, nullptr);
    void* out = &out;
    EXPECT_EQ(getClassObject(IID_IZelSolution, IID_IZelSolution, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    out = &out;
    EXPECT_EQ(getClassObject(CLSID_ZelSolution, CLSID_ZelSolution, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    EXPECT_EQ(Recorded(dir + L"\\with"),
              (std::vector<std::string>{
                  "DLL_PROCESS_ATTACH",
                  "DllGetClassObject {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83} {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B}",
                  "Initialize 0", "Install 0", "Uninitialize", "Release -> 0",
                  "DllGetClassObject {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B} {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B}",
                  "DllGetClassObject {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83} {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83}"}));
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

    EXPECT_EQ(Recorded(dir),
              (std::vector<std::string>{
                  "DLL_PROCESS_ATTACH",
                  "DllGetClassObject {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83} {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B}",
                  "Initialize 0", "Install 0", "Uninitialize", "Initialize 0", "Uninstall", "Uninitialize",
                  "Release -> 0", "DLL_PROCESS_DETACH FreeLibrary"}));
}
