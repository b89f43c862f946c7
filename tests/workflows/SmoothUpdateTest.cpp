// "-smoothupdate" run as the whole exe against the running stand-in product,
// with the real service manager: the successful update, and the failures a
// stand-in can bring about.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/workflows/SmoothUpdateFixture.h"

using namespace zeltest;

namespace {

// Names as a folder listing spells them.
std::vector<std::wstring> NamesIn(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &entry));
    if (!find) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find.Get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

std::string Describe(const std::vector<ChildStart>& starts) {
    std::string text;
    for (const ChildStart& start : starts) text += Narrow(start.record.commandLine) + "\n";
    return text;
}

class SmoothUpdateSuccess : public SmoothUpdateFixture {};

}  // namespace

TEST_F(SmoothUpdateSuccess, ExchangesTheFilesAndBringsTheProductBack) {
    StageUpdate();
    const std::wstring& dir = product.productDir;
    const std::wstring& engine = product.engineDir;

    const ProcessResult result = RunUpdate();
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.output, "");

    EXPECT_EQ(UpdateLogLines(dir),
              (Lines{kLogStart, kKillSuccess, kStopServices, kFrameworkGoes, kDeinstall, kEngineUninstall, kExchange,
                     kInstallService, "_DoCreateProcess : " + Narrow(dir) + "\\ruxserv.exe -start",
                     "strCurrentDirectory : " + Narrow(dir), "_DoCreateProcess Suc"}));

    // The product's service comes back; the registration tool has been run.
    EXPECT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    ASSERT_EQ(WaitForRecords(product.Registration(), "exit", 1).size(), 1u);
    ASSERT_EQ(WaitForRecords(product.ProductService(), "exit", 3).size(), 3u);

    // Every child, in the order started, with its command line, folder and start-up flags.
    const std::vector<ChildStart> starts = StartsInOrder(ChildPrograms());
    ASSERT_EQ(starts.size(), 8u) << Describe(starts);
    struct Expected {
        std::wstring commandLine;
        DWORD flags;
    };
    // The hidden launch passes on the tool's own start-up flags (here the
    // standard handles of the test's capture) with SW_HIDE.
    const Expected expected[] = {
        {engine + L"\\zelserv.exe /uninstall_product 0x000A0000", STARTF_USESTDHANDLES},
        {engine + L"\\zelserv.exe /can_uninstall_framework", 0},
        {dir + L"\\deinstall.exe /uninstall", STARTF_USESTDHANDLES},
        {engine + L"\\zelserv.exe /uninstall", STARTF_USESTDHANDLES},
        {dir + L"\\ruxserv.exe -install", 0},
        {dir + L"\\ruxserv.exe -installproduct", 0},
        {dir + L"\\ruxserv.exe -start", 0},
        {engine + L"\\izelreg.exe zelreg.ini", 0},
    };
    // The service install is not waited for, so it may record after the
    // scan; the service start and the registration are not waited for either.
    std::vector<std::wstring> seen;
    for (const ChildStart& start : starts) seen.push_back(start.record.commandLine);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(seen[i], expected[i].commandLine) << i;
    for (const Expected& child : expected) {
        const auto found = std::find(seen.begin(), seen.end(), child.commandLine);
        ASSERT_NE(found, seen.end()) << Narrow(child.commandLine);
        const StandInRecord& record = starts[found - seen.begin()].record;
        SCOPED_TRACE(Narrow(child.commandLine));
        EXPECT_EQ(record.currentDir, dir);
        EXPECT_EQ(record.startupFlags, child.flags);
        EXPECT_EQ(record.showWindow, SW_HIDE);
    }
    // Waited-for children ended before the next began; the scan ended before
    // the service start and the registration.
    const auto exitOf = [](const std::wstring& program, const std::string& option) {
        for (const StandInRecord& record : ReadRecords(program, "exit")) {
            if (record.option == option) return TickOf(record);
        }
        return ~0ull;
    };
    const auto startOf = [&](const std::wstring& commandLine) {
        return starts[std::find(seen.begin(), seen.end(), commandLine) - seen.begin()].Tick();
    };
    EXPECT_LE(exitOf(product.EngineService(), "/uninstall_product"), startOf(expected[1].commandLine));
    EXPECT_LE(exitOf(product.EngineService(), "/can_uninstall_framework"), startOf(expected[2].commandLine));
    EXPECT_LE(exitOf(product.Deinstaller(), "/uninstall"), startOf(expected[3].commandLine));
    EXPECT_LE(exitOf(product.EngineService(), "/uninstall"), startOf(expected[4].commandLine));
    EXPECT_LE(exitOf(product.ProductService(), "-installproduct"), startOf(expected[6].commandLine));
    EXPECT_LE(exitOf(product.ProductService(), "-installproduct"), startOf(expected[7].commandLine));
    // The engine service was stopped before its product uninstall ran.
    const std::vector<StandInRecord> stopped = ReadRecords(product.EngineService(), "service_stopped");
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_LE(TickOf(stopped[0]), starts[0].Tick());
    EXPECT_EQ(ServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_STOPPED));

    // The main program was ended; its autostart value is gone.
    EXPECT_TRUE(HasEnded(mainProgram));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kRunKey, L"ruxmain"));

    // The engine was installed again through its solution library.
    const std::string solutionCalls = ReadBytes(dir + L"\\subsystem\\zelde\\zeldecs.record");
    EXPECT_NE(solutionCalls.find("Install 0"), std::string::npos) << solutionCalls;

    // The product folder: new files with lower-case names, changed ones replaced,
    // excluded ones untouched, the backup gone, the staging folder kept.
    EXPECT_EQ(ReadBytes(dir + L"\\Main.dll"), "main v2");
    EXPECT_EQ(NamesIn(dir + L"\\data"), std::vector<std::wstring>{L"new.dat"});
    EXPECT_EQ(ReadBytes(dir + L"\\data\\new.dat"), "new data");
    EXPECT_EQ(NamesIn(dir + L"\\plugins\\deep"), std::vector<std::wstring>{L"extra.bin"});
    const std::vector<std::wstring> top = NamesIn(dir);
    EXPECT_NE(std::find(top.begin(), top.end(), L"data"), top.end());
    EXPECT_NE(std::find(top.begin(), top.end(), L"plugins"), top.end());
    EXPECT_EQ(std::find(top.begin(), top.end(), L"icon"), top.end());
    EXPECT_EQ(std::find(top.begin(), top.end(), L"update"), top.end());
    EXPECT_EQ(std::find(top.begin(), top.end(), L"reupdate.exe"), top.end());
    EXPECT_EQ(std::find(top.begin(), top.end(), L"msvcr80.dll"), top.end());
    EXPECT_EQ(ReadBytes(dir + L"\\Docs\\readme.txt"), "only in the product");
    EXPECT_EQ(ReadBytes(dir + L"\\skin\\look.ini"), "skin v1");
    EXPECT_EQ(ReadBytes(dir + L"\\Lomifr.dll"), "lomifr v1");
    EXPECT_EQ(ReadBytes(dir + L"\\optarium.cfg"), "optarium v1");
    EXPECT_EQ(ReadBytes(dir + L"\\zelunst.exe"), ReadBytes(BinDir() + L"\\zelunst.exe"));
    EXPECT_EQ(ReadBytes(product.Uninstaller()), ReadBytes(BinDir() + L"\\unins000.exe"));
    EXPECT_FALSE(DirExists(dir + L"\\updatetemp"));
    EXPECT_EQ(ReadBytes(dir + L"\\reupdate\\Main.DLL"), "main v2");
    // settings.cfg moved aside over the older copy.
    EXPECT_FALSE(FileExists(dir + L"\\settings.cfg"));
    EXPECT_EQ(ReadBytes(dir + L"\\settings.cfg.bak"), "settings v1");
}

TEST_F(SmoothUpdateSuccess, RunningProductServiceIsNotStartedAgain) {
    ASSERT_TRUE(StartTestService(L"ruxserv"));
    ASSERT_TRUE(WaitServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    MakeDirs(product.productDir + L"\\reupdate");

    const ProcessResult result = RunUpdate();
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(UpdateLogLines(product.productDir), (Lines{kLogStart, kKillSuccess, kStopServices, kFrameworkGoes,
                                                         kDeinstall, kEngineUninstall, kExchange, kInstallService}));
    ASSERT_EQ(WaitForRecords(product.Registration(), "exit", 1).size(), 1u);
    ASSERT_EQ(WaitForRecords(product.ProductService(), "exit", 2).size(), 2u);
    std::vector<std::string> options = OptionsStarted(product.ProductService());
    std::sort(options.begin(), options.end());
    EXPECT_EQ(options, (std::vector<std::string>{"-install", "-installproduct"}));
    EXPECT_EQ(ServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_RUNNING));
}
