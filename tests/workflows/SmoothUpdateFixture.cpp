#include "tests/workflows/SmoothUpdateFixture.h"

#include <algorithm>

namespace zeltest {

Lines Then(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

Lines InstalledAfter(const Lines& before, const std::wstring& tool, const Lines& childEnd,
                     const std::string& limitSeconds) {
    const Lines install = {"Install the engine in a process of its own: " + ToUtf8(QuoteIfNeeded(tool)) +
                               " -install EngineCallTimeout=" + limitSeconds,
                           "process <pid>: " + kLogStart};
    return Then(Then(Then(before, {kExchange}), install), Then(childEnd, {kInstallService}));
}

Lines UpdateLog(const std::wstring& dir) {
    Lines lines = UnstampedLogLines(dir);
    for (std::string& line : lines) {
        line = MarkProcessIds(line);
        const size_t offset = line.find(".dll+0x");
        if (offset != std::string::npos) line.replace(offset + 5, std::string::npos, "<offset>");
    }
    return lines;
}

Lines ServiceStartLines(const std::wstring& dir, const std::string& outcome, bool quoted) {
    const std::string quote = quoted ? "\"" : "";
    return {"_DoCreateProcess : " + quote + ToUtf8(dir) + "\\ruxserv.exe" + quote + " -start",
            "strCurrentDirectory : " + ToUtf8(dir), outcome};
}

std::vector<StandInRecord> StartsInOrder(const std::vector<std::wstring>& programs) {
    std::vector<StandInRecord> starts;
    for (const std::wstring& program : programs) {
        for (StandInRecord& record : ReadRecords(program, "start")) starts.push_back(std::move(record));
    }
    std::stable_sort(starts.begin(), starts.end(),
                     [](const StandInRecord& a, const StandInRecord& b) { return TickOf(a) < TickOf(b); });
    return starts;
}

void SmoothUpdateFixture::SetUp() {
    product = InstallStandInProduct(productDir_, engineDir_);
    // The product's updater stages into reupdate\ before it starts the
    // update: here nothing, unless the test stages something.
    ASSERT_TRUE(CreateDirectoryChain(productDir_ + L"\\reupdate"));
    ASSERT_EQ(standin::StartServiceByName(L"zelserv"), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(L"zelserv", SERVICE_RUNNING, 10000));
    mainProgram = StartProcess(L"\"" + product.MainProgram() + L"\"");
    ASSERT_TRUE(mainProgram.process.Valid());
    ASSERT_EQ(WaitForRecords(product.MainProgram(), "start", 1).size(), 1u);
    // The lower-case spelling the update deletes (value names ignore case, so
    // this is the value the installer wrote as "RUXMain").
    SetRegString(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain", product.MainProgram());
}

void SmoothUpdateFixture::TearDown() {
    standin::EndProcessesNamed(L"zelunst.exe", 5000);  // an engine install the update left running
    DeleteRegTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Ostiga");  // a limit a test set
    // A service still starting cannot be stopped, and deleting it then leaves
    // it marked for deletion for the next test: let the start finish first.
    if (standin::QueryServiceState(L"ruxserv") == SERVICE_START_PENDING) {
        standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000);
    }
    UninstallStandInProduct(product);
    RemoveTree(L"C:\\zt");
}

ProcessResult SmoothUpdateFixture::RunUpdateAs(const std::wstring& tool) const {
    return RunCommand(L"\"" + tool + L"\" -smoothupdate", L"", 240000);
}

std::string SmoothUpdateFixture::ExpectUpdate(DWORD exitCode, const Lines& log) const {
    DeleteFileW(RunLogPath(product.productDir).c_str());
    const ProcessResult result = RunUpdateAs(product.Tool());
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, exitCode);
    EXPECT_EQ(UpdateLog(product.productDir), log);
    return result.output;
}

Lines SmoothUpdateFixture::SucceededLog(bool quoted) const {
    return Then(InstalledAfter(kThroughEngineUninstall, product.Tool()),
                ServiceStartLines(product.productDir, "_DoCreateProcess Suc", quoted));
}

void SmoothUpdateFixture::ExpectProductBack() const {
    EXPECT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    ASSERT_EQ(WaitForRecords(product.Registration(), "exit", 1).size(), 1u);
    ASSERT_EQ(WaitForRecords(product.ProductService(), "exit", 3).size(), 3u);
}

std::vector<std::wstring> SmoothUpdateFixture::ChildCommandLines(bool quoted) const {
    const std::wstring q = quoted ? L"\"" : L"";
    const auto in = [&q](const std::wstring& dir, const wchar_t* program) { return q + dir + program + q + L" "; };
    const std::wstring zelserv = in(product.engineDir, L"\\zelserv.exe");
    const std::wstring ruxserv = in(product.productDir, L"\\ruxserv.exe");
    return {zelserv + L"/uninstall_product 0x000A0000", zelserv + L"/can_uninstall_framework",
            in(product.productDir, L"\\deinstall.exe") + L"/uninstall", zelserv + L"/uninstall",
            ruxserv + L"-install", ruxserv + L"-installproduct", ruxserv + L"-start",
            in(product.engineDir, L"\\izelreg.exe") + L"zelreg.ini"};
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
