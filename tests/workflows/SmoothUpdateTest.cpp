// "-smoothupdate" run as the whole exe against the running stand-in product,
// with the real service manager: the successful update.
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

class SmoothUpdateSuccess : public SmoothUpdateFixture {};

}  // namespace

TEST_F(SmoothUpdateSuccess, ExchangesTheFilesAndBringsTheProductBack) {
    StageUpdate();
    const std::wstring& dir = product.productDir;
    // Windows refuses to copy over either bit; Wine only over read-only, and only to an unprivileged user.
    SetFileAttributesW((dir + L"\\Main.dll").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);

    EXPECT_EQ(ExpectUpdate(1, SucceededLog()), "");
    ExpectProductBack();

    // Every child, in the order started, with its command line, folder and
    // start-up flags. The hidden launch passes on the tool's own start-up flags
    // (here the standard handles of the test's capture) with SW_HIDE.
    const std::vector<StandInRecord> starts = StartsInOrder(ChildPrograms());
    std::vector<std::wstring> seen;
    for (const StandInRecord& start : starts) seen.push_back(start.commandLine);
    const std::vector<std::wstring> expected = ChildCommandLines();
    const DWORD flags[] = {STARTF_USESTDHANDLES, 0, STARTF_USESTDHANDLES, STARTF_USESTDHANDLES, 0, 0, 0, 0};
    ASSERT_EQ(seen.size(), expected.size()) << ::testing::PrintToString(seen);
    // The service install is not waited for, so it may record after the
    // scan; the service start and the registration are not waited for either.
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(seen[i], expected[i]) << i;
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto found = std::find(seen.begin(), seen.end(), expected[i]);
        ASSERT_NE(found, seen.end()) << ToUtf8(expected[i]);
        const StandInRecord& record = starts[found - seen.begin()];
        SCOPED_TRACE(ToUtf8(expected[i]));
        EXPECT_EQ(record.currentDir, dir);
        EXPECT_EQ(record.startupFlags, flags[i]);
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
        return TickOf(starts[std::find(seen.begin(), seen.end(), commandLine) - seen.begin()]);
    };
    EXPECT_LE(exitOf(product.EngineService(), "/uninstall_product"), startOf(expected[1]));
    EXPECT_LE(exitOf(product.EngineService(), "/can_uninstall_framework"), startOf(expected[2]));
    EXPECT_LE(exitOf(product.Deinstaller(), "/uninstall"), startOf(expected[3]));
    EXPECT_LE(exitOf(product.EngineService(), "/uninstall"), startOf(expected[4]));
    EXPECT_LE(exitOf(product.ProductService(), "-installproduct"), startOf(expected[6]));
    EXPECT_LE(exitOf(product.ProductService(), "-installproduct"), startOf(expected[7]));
    // The engine service was stopped before its product uninstall ran.
    const std::vector<StandInRecord> stopped = ReadRecords(product.EngineService(), "service_stopped");
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_LE(TickOf(stopped[0]), TickOf(starts[0]));
    EXPECT_EQ(standin::QueryServiceState(L"zelserv"), static_cast<DWORD>(SERVICE_STOPPED));

    // The main program was ended; its autostart value is gone.
    EXPECT_TRUE(HasEnded(mainProgram));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, kAutostartKey, L"ruxmain"));

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
    for (const wchar_t* name : {L"data", L"plugins"}) {
        EXPECT_NE(std::find(top.begin(), top.end(), name), top.end()) << ToUtf8(name);
    }
    for (const wchar_t* name : {L"icon", L"update", L"reupdate.exe", L"msvcr80.dll"}) {
        EXPECT_EQ(std::find(top.begin(), top.end(), name), top.end()) << ToUtf8(name);
    }
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
    ASSERT_EQ(standin::StartServiceByName(L"ruxserv"), DWORD{ERROR_SUCCESS});
    ASSERT_TRUE(standin::WaitForServiceState(L"ruxserv", SERVICE_RUNNING, 10000));
    CreateDirectoryChain(product.productDir + L"\\reupdate");

    ExpectUpdate(1, kInstalled);
    ASSERT_EQ(WaitForRecords(product.Registration(), "exit", 1).size(), 1u);
    ASSERT_EQ(WaitForRecords(product.ProductService(), "exit", 2).size(), 2u);
    std::vector<std::string> options = OptionsStarted(product.ProductService());
    std::sort(options.begin(), options.end());
    EXPECT_EQ(options, (std::vector<std::string>{"-install", "-installproduct"}));
    EXPECT_EQ(standin::QueryServiceState(L"ruxserv"), static_cast<DWORD>(SERVICE_RUNNING));
}
