// Ending the protection product's main program among real processes; which
// image names count is proven in LogicTest.
#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>

#include "base/Handles.h"
#include "system/Processes.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

struct Running {
    std::wstring exe;
    ProcessHandles handles;
};

// Starts the main program stand-in (by plain CreateProcessW, not by the code
// under test) in a folder of its own; it runs until it is ended and holds
// "held.dat" beside it open without sharing.
Running StartMainProgram(const std::wstring& folder) {
    Running running{FreshDir(folder) + L"\\ruxmain.exe", {}};
    CopyFromBin(L"ruxmain.exe", running.exe);
    WriteSettings(running.exe, {{"hold_file", "held.dat"}});
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + running.exe + L"\"";
    EXPECT_TRUE(CreateProcessW(running.exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    running.handles = ProcessHandles(info);
    EXPECT_EQ(WaitForRecords(running.exe, "hold_file", 1).size(), 1u) << "up and holding its file";
    return running;
}

bool Ended(const Running& running) { return WaitForSingleObject(running.handles.process.Get(), 0) == WAIT_OBJECT_0; }

bool HeldFileFree(const Running& running) {
    const std::wstring held = running.exe.substr(0, running.exe.rfind(L'\\')) + L"\\held.dat";
    return FileHandle(CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr))
        .Valid();
}

// Process ids of running processes with this image name, in list order.
std::vector<DWORD> ProcessesNamed(const std::wstring& image) {
    std::vector<DWORD> ids;
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!snapshot || !Process32FirstW(snapshot.Get(), &entry)) return ids;
    do {
        if (image == entry.szExeFile) ids.push_back(entry.th32ProcessID);
    } while (Process32NextW(snapshot.Get(), &entry));
    return ids;
}

}  // namespace

TEST(KillMainProgram, OnlyTheFirstListedOfTwoIsEndedAndIsGoneWhenTheCallReturns) {
    Running first = StartMainProgram(L"kill_a");
    Running second = StartMainProgram(L"kill_b");
    const std::vector<DWORD> listed = ProcessesNamed(L"ruxmain.exe");
    ASSERT_EQ(listed.size(), 2u);
    const bool firstListedFirst = listed[0] == GetProcessId(first.handles.process.Get());
    const Running& listedFirst = firstListedFirst ? first : second;
    const Running& listedSecond = firstListedFirst ? second : first;

    EXPECT_NE(KillRUXMainProcess(), 0);
    // Gone, its files free, the moment the call returns.
    EXPECT_TRUE(Ended(listedFirst));
    EXPECT_TRUE(HeldFileFree(listedFirst));
    DWORD exitCode = 1;
    GetExitCodeProcess(listedFirst.handles.process.Get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(Ended(listedSecond));
    EXPECT_FALSE(HeldFileFree(listedSecond));

    // The next call ends the one left, then there is none.
    EXPECT_NE(KillRUXMainProcess(), 0);
    EXPECT_TRUE(Ended(listedSecond));
    EXPECT_EQ(KillRUXMainProcess(), 1);
}
