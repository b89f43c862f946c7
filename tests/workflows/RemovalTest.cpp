// The product removal, run as the whole exe against the stand-in product with
// the real service manager.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "engine/UnstallContext.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"
#include "workflows/RemoveProduct.h"

using namespace zeltest;

namespace {

const std::wstring kProductKey = L"SYSTEM\\CurrentControlSet\\Services\\ruxserv";
const std::wstring kKernelKey = L"SYSTEM\\CurrentControlSet\\Services\\nydkernel";

std::wstring CommonFilesDeinstaller() {
    wchar_t common[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, SHGFP_TYPE_CURRENT, common);
    return std::wstring(common) + L"\\Draveno\\CommonService\\deinstall.exe";
}

class Removal : public ::testing::Test {
protected:
    void SetUp() override {
        product = InstallStandInProduct(L"C:\\zt\\Removal Product", L"C:\\zt\\Removal Engine");
        // The "-stop" program gives up quickly when the service refuses.
        WriteSettings(product.ProductService(), {{"stop.stop_wait_ms", "500"}});
        CopyFromBin(L"deinstall.exe", CommonFilesDeinstaller());
    }
    void TearDown() override {
        UninstallStandInProduct(product);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kKernelKey);
        DeleteFileW(CommonFilesDeinstaller().c_str());
        RemoveTree(L"C:\\zt");
    }

    ProcessResult RunTool() { return RunCommand(L"\"" + product.Tool() + L"\""); }
    // The uninstaller is not waited for: wait until it has run its course.
    static std::vector<StandInRecord> StartsOnceEnded(const std::wstring& uninstaller) {
        WaitForRecords(uninstaller, "exit", 1);
        return ReadRecords(uninstaller, "start");
    }

    StandInProduct product;
};

}  // namespace

TEST_F(Removal, WithoutTheServiceProgramNothingHappens) {
    DeleteFileW(product.ProductService().c_str());
    SetRegDword(HKEY_LOCAL_MACHINE, kKernelKey, L"Start", 1);

    EXPECT_EQ(RunTool().exitCode, 0xFFFFFFFFu);
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, kKernelKey, L"Start"), 1u);
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"RUXMain"));
    EXPECT_TRUE(FileExists(product.Deinstaller()));
    EXPECT_TRUE(ReadRecords(product.Uninstaller(), "start").empty());
    // Only the dispatcher's line: the removal itself never logs.
    EXPECT_EQ(LogLines(product.productDir), (std::vector<std::string>{"Now, RunHandle"}));
}

TEST_F(Removal, StoppedServiceLetsTheUninstallerStartShown) {
    ASSERT_EQ(standin::StartServiceByName(L"ruxserv"), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));

    EXPECT_EQ(RunTool().exitCode, 0u);
    EXPECT_EQ(standin::QueryServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_STOPPED));

    // The service program was asked to stop, by its path with the forward slash.
    const auto stops = ReadRecords(product.ProductService(), "start");
    ASSERT_FALSE(stops.empty());
    EXPECT_EQ(stops.front().option, "-stop");
    EXPECT_EQ(stops.front().commandLine, L"\"" + product.productDir + L"/ruxserv.exe\" -stop");

    EXPECT_FALSE(FileExists(product.Deinstaller()));
    EXPECT_FALSE(FileExists(CommonFilesDeinstaller()));

    const auto starts = StartsOnceEnded(product.Uninstaller());
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].startupFlags & STARTF_USESHOWWINDOW, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(starts[0].showWindow, SW_SHOW);
    EXPECT_EQ(LogLines(product.productDir), (std::vector<std::string>{"Now, RunHandle"}));
}

// "-stop" stops the service, then never ends: after its 60 s the removal
// goes on, finds the service stopped and starts the uninstaller.
TEST_F(Removal, StopProgramThatNeverEndsIsLeftRunningAndTheRemovalGoesOn) {
    ASSERT_EQ(standin::StartServiceByName(L"ruxserv"), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    WriteSettings(product.ProductService(), {{"stop.stop_wait_ms", "500"}, {"stop.hang", "1"}});

    const ProcessResult result = RunCommand(L"\"" + product.Tool() + L"\"", L"", 180000);
    const std::vector<StandInRecord> hung = ReadRecords(product.ProductService(), "hang");
    ASSERT_EQ(hung.size(), 1u);
    const KernelHandle stopProgram(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, hung[0].pid));
    EXPECT_EQ(WaitForSingleObject(stopProgram.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));  // left running
    TerminateProcess(stopProgram.Get(), 1);

    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(StartsOnceEnded(product.Uninstaller()).size(), 1u);
    EXPECT_EQ(LogLines(product.productDir),
              (std::vector<std::string>{"Now, RunHandle", "ruxserv.exe -stop still running after 60 s; left running"}));
}

TEST_F(Removal, ServiceThatNeverStopsResetsStartTypesAndAutostart) {
    WriteSettings(product.ProductService(), {{"refuse_stop", "1"}, {"stop.stop_wait_ms", "500"}});
    ASSERT_EQ(standin::StartServiceByName(L"ruxserv"), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    SetRegDword(HKEY_LOCAL_MACHINE, kKernelKey, L"Start", 1);

    const ULONGLONG started = GetTickCount64();
    const ProcessResult result = RunTool();
    const ULONGLONG elapsed = GetTickCount64() - started;

    EXPECT_EQ(result.exitCode, 0xFFFFFFFFu);
    EXPECT_GE(elapsed, 5000u) << "five sleeps of a second between six looks";
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, kProductKey, L"Start"), 3u);
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, kKernelKey, L"Start"), 3u);
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"RUXMain"));
    EXPECT_TRUE(FileExists(product.Deinstaller()));
    EXPECT_TRUE(FileExists(CommonFilesDeinstaller()));
    EXPECT_TRUE(ReadRecords(product.Uninstaller(), "start").empty());
}

TEST_F(Removal, UninstalledServiceCreatesNoServiceKeys) {
    UninstallStandInProduct(product);
    ASSERT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kProductKey));
    SetRegString(HKEY_CURRENT_USER, kAutostartKey, L"RUXMain", product.MainProgram());

    EXPECT_EQ(RunTool().exitCode, 0xFFFFFFFFu);
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kProductKey));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kKernelKey));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"RUXMain"));
    EXPECT_TRUE(ReadRecords(product.Uninstaller(), "start").empty());
}

TEST_F(Removal, UninstallerIsChosenByCaseSensitiveName) {
    const std::wstring folder = product.productDir + L"\\uninstall";
    // A renamed copy is found by the search, with a capital U it is not; two
    // matches are both started; an empty folder has none.
    const std::pair<std::vector<const wchar_t*>, bool> cases[] = {{{L"unins000_old.exe"}, true},
                                                                  {{L"Unins000_old.exe"}, false},
                                                                  {{L"unins000a.exe", L"unins000b.exe"}, true},
                                                                  {{}, false}};
    for (const auto& [names, started] : cases) {
        RemoveTree(folder);
        CreateDirectoryChain(folder);
        for (const wchar_t* name : names) CopyFromBin(L"unins000.exe", folder + L"\\" + name);
        EXPECT_EQ(RunTool().exitCode, started ? 0u : 0xFFFFFFFFu);
        for (const wchar_t* name : names) {
            const std::wstring path = folder + L"\\" + name;
            EXPECT_EQ((started ? StartsOnceEnded(path) : ReadRecords(path, "start")).size(), started ? 1u : 0u)
                << ToUtf8(name);
        }
    }
    RemoveTree(folder);
    EXPECT_EQ(RunTool().exitCode, 0xFFFFFFFFu) << "no uninstall folder";
}

TEST_F(Removal, DeinstallerOnlyInCommonFilesIsKept) {
    DeleteFileW(product.Deinstaller().c_str());
    EXPECT_EQ(RunTool().exitCode, 0u);
    EXPECT_TRUE(FileExists(CommonFilesDeinstaller()));
}

// The exe never reaches the removal with such a folder: start-up refuses any
// folder too long for the solution library's path first.
TEST(RemovalPathLimit, TooLongProgramDirectoryIsRefusedByTheExeAtStartUp) {
    // 240 characters: the tool's own path fits, "uninstall\unins000.exe" does not.
    const std::wstring dir = L"C:\\zt\\" + std::wstring(234, L'p');
    CreateDirectoryChain(dir);
    const std::wstring tool = PlaceTool(dir);
    CopyFromBin(L"ruxserv.exe", dir + L"\\ruxserv.exe");
    const ProcessResult result = RunCommand(L"\"" + tool + L"\"");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(ReadRecords(dir + L"\\ruxserv.exe").empty());
    EXPECT_TRUE(LogLines(dir).empty());
    RemoveTree(L"C:\\zt");
}

// The removal's own checks, called with a folder start-up would refuse: the
// service program and the deinstaller copy fit in MAX_PATH and are there, the
// uninstaller's path does not, so nothing may be started or deleted.
TEST(RemovalPathLimit, TooLongProgramDirectoryIsRefusedByTheRemovalItself) {
    const std::wstring dir = L"C:\\zt\\" + std::wstring(234, L'p');
    CreateDirectoryChain(dir);
    CopyFromBin(L"ruxserv.exe", dir + L"\\ruxserv.exe");
    CopyFromBin(L"deinstall.exe", dir + L"\\deinstall.exe");
    CUnstallContext context;
    ASSERT_EQ(wcscpy_s(context.programDir, MAX_PATH, dir.c_str()), 0);

    EXPECT_EQ(_DoRemoveProduct(context), 0);
    EXPECT_EQ(_DeleteDeinstall(context), 1);
    EXPECT_TRUE(ReadRecords(dir + L"\\ruxserv.exe").empty());
    EXPECT_TRUE(FileExists(dir + L"\\deinstall.exe"));
    RemoveTree(L"C:\\zt");
}
