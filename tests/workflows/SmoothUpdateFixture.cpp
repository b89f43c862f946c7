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

unsigned long long TickOf(const StandInRecord& record) { return std::stoull("0" + record.Field("tick")); }

unsigned long long ChildStart::Tick() const { return TickOf(record); }

std::vector<ChildStart> StartsInOrder(const std::vector<std::wstring>& programs) {
    std::vector<ChildStart> starts;
    for (const std::wstring& program : programs) {
        for (StandInRecord& record : ReadRecords(program, "start")) starts.push_back({program, std::move(record)});
    }
    std::stable_sort(starts.begin(), starts.end(),
                     [](const ChildStart& a, const ChildStart& b) { return a.Tick() < b.Tick(); });
    return starts;
}

std::vector<std::string> OptionsStarted(const std::wstring& program) {
    std::vector<std::string> options;
    for (const StandInRecord& start : ReadRecords(program, "start")) options.push_back(start.option);
    return options;
}

ProcessHandles StartDetached(const std::wstring& commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring writable = commandLine;
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return ProcessHandles();
    }
    return ProcessHandles(info);
}

bool HasEnded(const ProcessHandles& process) { return WaitForSingleObject(process.process.Get(), 0) == WAIT_OBJECT_0; }

void EndHungChildren(const std::vector<std::wstring>& programs) {
    for (const std::wstring& program : programs) {
        for (const StandInRecord& hang : ReadRecords(program, "hang")) {
            KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, hang.pid));
            if (!process) continue;
            TerminateProcess(process.Get(), 1);
            WaitForSingleObject(process.Get(), 5000);
        }
    }
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
    StartEngineService();
    StartMainProgram();
    // The lower-case spelling the update deletes (value names ignore case, so
    // this is the value the installer wrote as "RUXMain").
    SetRegString(HKEY_CURRENT_USER, kRunKey, L"ruxmain", product.MainProgram());
}

void SmoothUpdateFixture::TearDown() {
    EndHungChildren(AllPrograms());
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

void SmoothUpdateFixture::StartEngineService() const {
    ASSERT_TRUE(StartTestService(L"zelserv"));
    ASSERT_TRUE(WaitServiceState(L"zelserv", SERVICE_RUNNING, 10000));
}

void SmoothUpdateFixture::StartMainProgram() {
    mainProgram = StartDetached(L"\"" + product.MainProgram() + L"\"");
    ASSERT_TRUE(mainProgram.process.Valid());
    ASSERT_EQ(WaitForRecords(product.MainProgram(), "start", 1).size(), 1u);
}

void SmoothUpdateFixture::StageUpdate() const {
    const std::wstring& dir = product.productDir;
    WriteText(dir + L"\\settings.cfg", "settings v1");
    WriteText(dir + L"\\settings.cfg.bak", "settings v0");
    WriteText(dir + L"\\Main.dll", "main v1");
    WriteText(dir + L"\\Docs\\readme.txt", "only in the product");
    WriteText(dir + L"\\skin\\look.ini", "skin v1");
    WriteText(dir + L"\\Lomifr.dll", "lomifr v1");
    WriteText(dir + L"\\optarium.cfg", "optarium v1");

    const std::wstring staged = dir + L"\\reupdate";
    WriteText(staged + L"\\Main.DLL", "main v2");
    WriteText(staged + L"\\Data\\New.DAT", "new data");
    WriteText(staged + L"\\Plugins\\Deep\\Extra.Bin", "extra");
    // Staged, but kept out of the product folder.
    WriteText(staged + L"\\settings.cfg", "settings v2");
    WriteText(staged + L"\\zelunst.exe", "not the tool");
    WriteText(staged + L"\\LOMIFR.DLL", "lomifr v2");
    WriteText(staged + L"\\optarium.cfg", "optarium v2");
    WriteText(staged + L"\\skin\\look.ini", "skin v2");
    WriteText(staged + L"\\icon\\app.ico", "icon");
    WriteText(staged + L"\\uninstall\\unins000.exe", "not the uninstaller");
    WriteText(staged + L"\\Update\\patch.bin", "patch");
    WriteText(staged + L"\\reupdate.exe", "updater");
    WriteText(staged + L"\\msvcr80.dll", "runtime");
}

std::vector<std::wstring> SmoothUpdateFixture::ChildPrograms() const {
    return {product.EngineService(), product.Registration(), product.ProductService(), product.Deinstaller()};
}

std::vector<std::wstring> SmoothUpdateFixture::AllPrograms() const {
    std::vector<std::wstring> programs = ChildPrograms();
    programs.push_back(product.MainProgram());
    return programs;
}

}  // namespace zeltest
