// Ending the protection product's main program among real processes.
#include <gtest/gtest.h>

#include "system/Handles.h"
#include "system/ServiceControl.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"
#include "tests/system/SystemTestSupport.h"

using namespace zeltest;
using namespace systest;

namespace {

struct Running {
    std::wstring exe;
    KernelHandle process;
    DWORD id = 0;
};

// Starts the main program stand-in under the given file name; it runs until
// it is ended and holds "held.dat" beside it open without sharing.
Running StartMainProgramAs(const std::wstring& folder, const std::wstring& fileName) {
    Running running;
    running.exe = PlaceStandIn(L"ruxmain.exe", FreshDir(folder) + L"\\" + fileName);
    ClearRecords(running.exe);
    WriteSettings(running.exe, {{"hold_file", "held.dat"}});
    running.process.Reset(StartProgram(running.exe));
    EXPECT_TRUE(running.process.Valid()) << Narrow(fileName);
    running.id = GetProcessId(running.process.Get());
    // Up and holding its file.
    EXPECT_EQ(WaitForRecords(running.exe, "hold_file", 1).size(), 1u) << Narrow(fileName);
    return running;
}

bool Ended(const Running& running) { return WaitForSingleObject(running.process.Get(), 0) == WAIT_OBJECT_0; }

bool HeldFileFree(const Running& running) {
    const std::wstring held = running.exe.substr(0, running.exe.rfind(L'\\')) + L"\\held.dat";
    FileHandle file(CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.Valid();
}

void End(Running& running) {
    TerminateProcess(running.process.Get(), 1);
    WaitForSingleObject(running.process.Get(), 5000);
}

}  // namespace

TEST(KillMainProgram, NoneRunningGivesOne) {
    ASSERT_TRUE(ProcessesNamed(L"ruxmain.exe").empty());
    EXPECT_EQ(KillRUXMainProcess(), 1);
}

TEST(KillMainProgram, OnlyTheFirstListedOfTwoIsEndedAndIsGoneWhenTheCallReturns) {
    Running first = StartMainProgramAs(L"kill_a", L"ruxmain.exe");
    Running second = StartMainProgramAs(L"kill_b", L"ruxmain.exe");
    const std::vector<DWORD> listed = ProcessesNamed(L"ruxmain.exe");
    ASSERT_EQ(listed.size(), 2u);
    Running& listedFirst = listed[0] == first.id ? first : second;
    Running& listedSecond = listed[0] == first.id ? second : first;

    EXPECT_NE(KillRUXMainProcess(), 0);
    // Gone, its files free, the moment the call returns.
    EXPECT_TRUE(Ended(listedFirst));
    EXPECT_TRUE(HeldFileFree(listedFirst));
    DWORD exitCode = 1;
    GetExitCodeProcess(listedFirst.process.Get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(Ended(listedSecond));
    EXPECT_FALSE(HeldFileFree(listedSecond));

    // The next call ends the one left, then there is none.
    EXPECT_NE(KillRUXMainProcess(), 0);
    EXPECT_TRUE(Ended(listedSecond));
    EXPECT_EQ(KillRUXMainProcess(), 1);
}

TEST(KillMainProgram, ImageNameMatchesWithoutRegardToCaseButWhole) {
    Running upper = StartMainProgramAs(L"kill_upper", L"RUXMAIN.EXE");
    Running prefixed = StartMainProgramAs(L"kill_prefixed", L"myruxmain.exe");
    Running suffixed = StartMainProgramAs(L"kill_suffixed", L"ruxmain.exe.bak");

    EXPECT_NE(KillRUXMainProcess(), 0);
    EXPECT_TRUE(Ended(upper));
    EXPECT_EQ(KillRUXMainProcess(), 1);
    EXPECT_FALSE(Ended(prefixed));
    EXPECT_FALSE(Ended(suffixed));
    End(prefixed);
    End(suffixed);
}
