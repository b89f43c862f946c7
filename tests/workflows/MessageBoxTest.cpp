// The two message boxes, for real on an Xvfb desktop: found by caption, read,
// answered, and the tool shown to wait for the answer.
#include <gtest/gtest.h>

#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

const wchar_t kRemovalCaption[] = L"PellunaOstiga";
const wchar_t kRemovalText[] = L"不能够关闭Ostiga服务，请重启电脑后在卸载!";
const wchar_t kUpdateCaption[] = L"Ostiga需要升级";
const wchar_t kUpdateText[] =
    L"Ostiga需要平滑升级到最新版本，这样将会关闭主程序。如果不进行平滑升级，Ostiga重启后将无法正常使用";
// The static control that MessageBoxW gives the message text, and the ones
// its icon may have (Windows uses 0x14, Wine stc1).
constexpr int kMessageTextId = 0xFFFF;
constexpr int kMessageIconIds[] = {0x14, 0x440};

HWND WaitForDialog(const wchar_t* caption, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND dialog = FindWindowW(L"#32770", caption)) return dialog;
        if (GetTickCount64() > deadline) return nullptr;
        Sleep(100);
    }
}

bool ShowsIcon(HWND dialog) {
    for (int id : kMessageIconIds) {
        HWND icon = GetDlgItem(dialog, id);
        if (icon != nullptr && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0) return true;
    }
    return false;
}

// Waits for the tool's box, checks it, and that the tool still waits a while later.
HWND ExpectBox(const ProcessHandles& tool, const wchar_t* caption, const wchar_t* text, bool icon) {
    EXPECT_TRUE(tool.process.Valid());
    const HWND dialog = WaitForDialog(caption, 30000);
    if (dialog == nullptr) return nullptr;
    wchar_t shown[512] = {};
    GetDlgItemTextW(dialog, kMessageTextId, shown, 512);
    EXPECT_EQ(std::wstring(shown), text);
    EXPECT_EQ(ShowsIcon(dialog), icon);
    EXPECT_NE(GetDlgItem(dialog, IDOK), nullptr);
    EXPECT_EQ(GetDlgItem(dialog, IDCANCEL), nullptr) << "MB_OK: no way to decline";
    Sleep(1500);
    EXPECT_FALSE(HasEnded(tool));
    return dialog;
}

}  // namespace

TEST(MessageBoxes, RemovalAsksForARestartAndWaitsForTheAnswer) {
    const StandInProduct product = InstallStandInProduct(L"C:\\zt\\BoxProduct", L"C:\\zt\\BoxEngine");
    WriteSettings(product.ProductService(), {{"refuse_stop", "1"}, {"stop.stop_wait_ms", "500"}});
    ASSERT_EQ(standin::StartServiceByName(L"ruxserv"), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));

    const ProcessHandles tool = StartProcess(L"\"" + product.Tool() + L"\"");
    const HWND dialog = ExpectBox(tool, kRemovalCaption, kRemovalText, false);
    ASSERT_NE(dialog, nullptr);
    // While the box is open nothing of the failure path has happened yet.
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"RUXMain"));

    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(WaitExitCode(tool, 30000), 0xFFFFFFFFu);
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"RUXMain"));
    UninstallStandInProduct(product);
}

TEST(MessageBoxes, UpdateNoticeComesBeforeAnythingChanges) {
    const StandInProduct product = InstallStandInProduct(L"C:\\zt\\NoticeProduct", L"C:\\zt\\NoticeEngine");
    // Staged by the product's updater: nothing.
    ASSERT_TRUE(CreateDirectoryChain(product.productDir + L"\\reupdate"));
    const ProcessResult mainProgram = RunCommand(L"cmd /c start \"\" \"" + product.MainProgram() + L"\"", L"", 10000);
    ASSERT_EQ(WaitForRecords(product.MainProgram(), "start", 1).size(), 1u);

    const ProcessHandles tool = StartProcess(L"\"" + product.Tool() + L"\" -smoothupdate");
    const HWND dialog = ExpectBox(tool, kUpdateCaption, kUpdateText, true);
    ASSERT_NE(dialog, nullptr);
    // The main program still runs and nothing is logged beyond the start.
    EXPECT_TRUE(ReadRecords(product.MainProgram(), "exit").empty());
    EXPECT_EQ(LogLines(product.productDir), (std::vector<std::string>{"Now, RunHandle"}));

    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    WaitExitCode(tool, 30000);
    const std::vector<std::string> lines = LogLines(product.productDir);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "KillRUXMainProcess Success ");
    UninstallStandInProduct(product);
}
