#include "tests/workflows/SmoothUpdateFixture.h"

#include <algorithm>
#include <cctype>

namespace zeltest {

namespace {

// "2026-12-07 08:04:28 | "
constexpr size_t kPrefixLength = 22;

bool IsPrefix(const std::string& text, size_t at) {
    if (text.size() < at + kPrefixLength) return false;
    static const char kShape[] = "dddd-dd-dd dd:dd:dd | ";
    for (size_t i = 0; i < kPrefixLength; ++i) {
        const char unit = text[at + i];
        const bool fits = kShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(unit)) != 0 : unit == kShape[i];
        if (!fits) return false;
    }
    return true;
}

}  // namespace

Lines UpdateLogLines(const std::wstring& dir) {
    Lines lines;
    for (std::string line : LogLines(dir, false)) {
        if (!IsPrefix(line, 0)) {
            lines.push_back(line);
            continue;
        }
        line.erase(0, kPrefixLength);
        for (const std::string label : {"_DoCreateProcess : ", "strCurrentDirectory : "}) {
            if (line.compare(0, label.size(), label) == 0 && IsPrefix(line, label.size())) {
                line.erase(label.size(), kPrefixLength);
            }
        }
        lines.push_back(line);
    }
    return lines;
}

Lines Then(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

Lines ServiceStartLines(const std::wstring& dir, const std::string& outcome, bool quoted) {
    const std::string quote = quoted ? "\"" : "";
    return {"_DoCreateProcess : " + quote + Narrow(dir) + "\\ruxserv.exe" + quote + " -start",
            "strCurrentDirectory : " + Narrow(dir), outcome};
}

std::vector<ChildStart> StartsInOrder(const std::vector<std::wstring>& programs) {
    std::vector<ChildStart> starts;
    for (const std::wstring& program : programs) {
        for (StandInRecord& record : ReadRecords(program, "start")) starts.push_back({program, std::move(record)});
    }
    std::stable_sort(starts.begin(), starts.end(), [](const ChildStart& a, const ChildStart& b) {
        return TickOf(a.record) < TickOf(b.record);
    });
    return starts;
}

bool WaitForFile(const std::wstring& path, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(20);
    }
    return true;
}

void SmoothUpdateFixture::SetUp() {
    product = InstallStandInProduct(productDir_, engineDir_);
    ASSERT_TRUE(StartTestService(L"zelserv"));
    ASSERT_TRUE(WaitServiceState(L"zelserv", SERVICE_RUNNING, 10000));
    mainProgram = StartProcess(L"\"" + product.MainProgram() + L"\"");
    ASSERT_TRUE(mainProgram.process.Valid());
    ASSERT_EQ(WaitForRecords(product.MainProgram(), "start", 1).size(), 1u);
    // The lower-case spelling the update deletes (value names ignore case, so
    // this is the value the installer wrote as "RUXMain").
    SetRegString(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain", product.MainProgram());
}

void SmoothUpdateFixture::TearDown() {
    // End the children the tool left running.
    std::vector<std::wstring> programs = ChildPrograms();
    programs.push_back(product.MainProgram());
    for (const std::wstring& program : programs) {
        for (const StandInRecord& hang : ReadRecords(program, "hang")) {
            KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, hang.pid));
            if (!process) continue;
            TerminateProcess(process.Get(), 1);
            WaitForSingleObject(process.Get(), 5000);
        }
    }
    // A service still starting cannot be stopped, and deleting it then leaves
    // it marked for deletion for the next test: let the start finish first.
    if (ServiceState(L"ruxserv") == SERVICE_START_PENDING) WaitServiceState(L"ruxserv", SERVICE_RUNNING, 10000);
    UninstallStandInProduct();
    RemoveTree(L"C:\\zt");
}

ProcessResult SmoothUpdateFixture::RunUpdate() const { return RunUpdateAs(product.Tool()); }

ProcessResult SmoothUpdateFixture::RunUpdateAs(const std::wstring& tool) const {
    return RunCommand(L"\"" + tool + L"\" -smoothupdate");
}

std::string SmoothUpdateFixture::ExpectUpdate(DWORD exitCode, const Lines& log) const {
    DeleteFileW((product.productDir + L"\\ZelUnst.log").c_str());
    const ProcessResult result = RunUpdate();
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, exitCode);
    EXPECT_EQ(UpdateLogLines(product.productDir), log);
    return result.output;
}

Lines SmoothUpdateFixture::SucceededLog(bool quoted) const {
    return Then(Then(kThroughEngineUninstall, {kExchange, kInstallService}),
                ServiceStartLines(product.productDir, "_DoCreateProcess Suc", quoted));
}

std::vector<std::wstring> SmoothUpdateFixture::ChildCommandLines(bool quoted) const {
    const std::wstring q = quoted ? L"\"" : L"";
    const std::wstring engine = q + product.engineDir;
    const std::wstring dir = q + product.productDir;
    return {engine + L"\\zelserv.exe" + q + L" /uninstall_product 0x000A0000",
            engine + L"\\zelserv.exe" + q + L" /can_uninstall_framework",
            dir + L"\\deinstall.exe" + q + L" /uninstall",
            engine + L"\\zelserv.exe" + q + L" /uninstall",
            dir + L"\\ruxserv.exe" + q + L" -install",
            dir + L"\\ruxserv.exe" + q + L" -installproduct",
            dir + L"\\ruxserv.exe" + q + L" -start",
            engine + L"\\izelreg.exe" + q + L" zelreg.ini"};
}
void SmoothUpdateFixture::StageUpdate() const {
    const std::pair<const wchar_t*, const char*> files[] = {
        {L"settings.cfg", "settings v1"}, {L"settings.cfg.bak", "settings v0"}, {L"Main.dll", "main v1"},
        {L"Docs\\readme.txt", "only in the product"}, {L"skin\\look.ini", "skin v1"}, {L"Lomifr.dll", "lomifr v1"},
        {L"optarium.cfg", "optarium v1"}, {L"reupdate\\Main.DLL", "main v2"}, {L"reupdate\\Data\\New.DAT", "new data"},
        {L"reupdate\\Plugins\\Deep\\Extra.Bin", "extra"},
        // Staged, but kept out of the product folder.
        {L"reupdate\\settings.cfg", "settings v2"}, {L"reupdate\\zelunst.exe", "not the tool"},
        {L"reupdate\\LOMIFR.DLL", "lomifr v2"}, {L"reupdate\\optarium.cfg", "optarium v2"},
        {L"reupdate\\skin\\look.ini", "skin v2"}, {L"reupdate\\icon\\app.ico", "icon"},
        {L"reupdate\\uninstall\\unins000.exe", "not the uninstaller"}, {L"reupdate\\Update\\patch.bin", "patch"},
        {L"reupdate\\reupdate.exe", "updater"}, {L"reupdate\\msvcr80.dll", "runtime"}};
    for (const auto& [path, text] : files) WriteText(product.productDir + L"\\" + path, text);
}

std::vector<std::wstring> SmoothUpdateFixture::ChildPrograms() const {
    return {product.EngineService(), product.Registration(), product.ProductService(), product.Deinstaller()};
}

}  // namespace zeltest
