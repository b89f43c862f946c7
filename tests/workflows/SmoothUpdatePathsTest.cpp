// "-smoothupdate" from unusual product folders: a drive's root, folders of
// exactly four and five characters (through a drive letter mapped onto a
// folder), and a folder whose path holds spaces next to decoy programs.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/workflows/SmoothUpdateFixture.h"

using namespace zeltest;

namespace {

const std::wstring kMappedFolder = L"C:\\zt\\short";

// Maps the drive letter P: onto kMappedFolder. Wine takes its drive letters
// from the links in the prefix's dosdevices folder (DefineDosDeviceW only
// makes an object name that file access does not follow), so the link is
// made by the Unix ln, which Wine starts like any program.
bool MapDriveP() {
    wchar_t prefix[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH) == 0) return false;
    CreateDirectoryChain(kMappedFolder);
    const std::wstring link = std::wstring(prefix) + L"/dosdevices/p:";
    // Relative to the dosdevices folder, as Wine's own c: link is. A Unix
    // program gets no process handle to wait on: the link is waited for.
    StartProcess(L"Z:\\bin\\ln -sfn ../drive_c/zt/short " + link);
    for (int tries = 0; tries < 500 && !DirExists(L"P:\\"); ++tries) Sleep(20);
    return DirExists(L"P:\\");
}

// The product in kMappedFolder + kSub, the tool run through P:.
template <const wchar_t* kSub>
class MappedProduct : public SmoothUpdateFixture {
protected:
    MappedProduct() : SmoothUpdateFixture(kMappedFolder + kSub) {}
    void SetUp() override {
        SmoothUpdateFixture::SetUp();
        ASSERT_TRUE(MapDriveP());
        CreateDirectoryChain(product.productDir + L"\\reupdate");
    }
};
constexpr wchar_t kRoot[] = L"", kFour[] = L"\\a", kFive[] = L"\\ab";
using SmoothUpdatePathDriveRoot = MappedProduct<kRoot>;
using SmoothUpdatePathFourCharacters = MappedProduct<kFour>;
using SmoothUpdatePathFiveCharacters = MappedProduct<kFive>;

class SmoothUpdatePathSpaces : public SmoothUpdateFixture {
protected:
    SmoothUpdatePathSpaces() : SmoothUpdateFixture(L"C:\\zt\\Product Folder", L"C:\\zt\\Engine Folder") {}
};

}  // namespace

TEST_F(SmoothUpdatePathDriveRoot, ToolInADriveRootDoesNothing) {

    EXPECT_EQ(RunUpdateAs(L"P:\\zelunst.exe").exitCode, 0u);
    EXPECT_EQ(UnstampedLogLines(product.productDir), Lines{kLogStart});
    EXPECT_FALSE(HasEnded(mainProgram));
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_RUNNING));
    for (const std::wstring& program : ChildPrograms()) {
        EXPECT_TRUE(ReadRecords(program, "start").empty()) << ToUtf8(program);
    }
    EXPECT_FALSE(DirExists(product.productDir + L"\\updatetemp"));
}

TEST_F(SmoothUpdatePathFourCharacters, FourCharacterFolderSkipsTheFrameworkQuery) {
    WriteText(product.productDir + L"\\reupdate\\New.txt", "new");

    EXPECT_EQ(RunUpdateAs(L"P:\\a\\zelunst.exe").exitCode, 1u);
    EXPECT_EQ(UpdateLog(product.productDir),
              Then(InstalledAfter(kThroughStop, L"P:\\a\\zelunst.exe"),
                   ServiceStartLines(L"P:\\a", "_DoCreateProcess Suc")));
    EXPECT_EQ(OptionsStarted(product.EngineService()), std::vector<std::string>{"/uninstall_product"});
    EXPECT_TRUE(ReadRecords(product.Deinstaller(), "start").empty());
    EXPECT_EQ(ReadBytes(product.productDir + L"\\new.txt"), "new");
    EXPECT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
}

TEST_F(SmoothUpdatePathFiveCharacters, FiveCharacterFolderAsksTheEngine) {

    EXPECT_EQ(RunUpdateAs(L"P:\\ab\\zelunst.exe").exitCode, 1u);
    EXPECT_EQ(OptionsStarted(product.EngineService()),
              (std::vector<std::string>{"/uninstall_product", "/can_uninstall_framework", "/uninstall"}));
    EXPECT_EQ(ReadRecords(product.Deinstaller(), "start").size(), 1u);
    EXPECT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
}

TEST_F(SmoothUpdatePathSpaces, FoldersWithSpacesStartTheRealChildrenNotTheDecoys) {
    // What an unquoted "C:\zt\Product Folder\..." would start first.
    const std::wstring productDecoy = L"C:\\zt\\Product.exe";
    const std::wstring engineDecoy = L"C:\\zt\\Engine.exe";
    CopyFromBin(L"deinstall.exe", productDecoy);
    CopyFromBin(L"deinstall.exe", engineDecoy);
    StageUpdate();
    ExpectUpdate(1, SucceededLog(true));
    ExpectProductBack();

    std::vector<std::wstring> commandLines;
    for (const StandInRecord& start : StartsInOrder(ChildPrograms())) {
        commandLines.push_back(start.commandLine);
        EXPECT_EQ(start.currentDir, product.productDir);
    }
    std::vector<std::wstring> expected = ChildCommandLines(true);
    std::sort(commandLines.begin(), commandLines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(commandLines, expected);

    EXPECT_TRUE(ReadRecords(productDecoy).empty());
    EXPECT_TRUE(ReadRecords(engineDecoy).empty());
    EXPECT_EQ(ReadBytes(product.productDir + L"\\data\\new.dat"), "new data");
    EXPECT_EQ(ReadBytes(product.productDir + L"\\settings.cfg.bak"), "settings v1");
}
