#pragma once
// A running stand-in product for "-smoothupdate" runs of the whole exe: the
// engine service started, the main program running, the Run value set. The
// tests change what they need before running the tool and read back the run
// log and what the stand-ins recorded.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "base/Handles.h"
#include "tests/support/StandIns.h"
#include "tests/support/TestSupport.h"

namespace zeltest {

using Lines = std::vector<std::string>;

inline const std::wstring kProductDir = L"C:\\zt\\SuProduct";
inline const std::wstring kUpdateMutexName = L"A73097BB-7BF9-4f0b-A85E-41FB375C0B50";
inline const std::string kLogStart = "Now, RunHandle";
inline const std::string kKillSuccess = "KillRUXMainProcess Success ";
inline const std::string kStopServices = "ZelUnstall_StopServices";
inline const std::string kFrameworkGoes = "zelserv //uninstall, deinstall //uninstall ";
inline const std::string kDeinstall = "Deinstall /uninstall";
inline const std::string kEngineUninstall = "zelserv /uninstall";
inline const std::string kUninstallFail = "_DoUninstalZelServ Fail";
inline const std::string kExchange = "_DoCopyAndDelFile";
inline const std::string kExchangeFail = "_DoCopyAndDelFile Fail";
inline const std::string kInstallService = "To do _DoInstallRUXServ";
inline const Lines kThroughStop{kLogStart, kKillSuccess, kStopServices};
inline const Lines kThroughEngineUninstall{kLogStart, kKillSuccess, kStopServices,
                                           kFrameworkGoes, kDeinstall, kEngineUninstall};

Lines Then(Lines lines, const Lines& more);
// before, then the exchange's line, the engine install's (the update's line
// that starts tool -install with the engine library's limit, that run's first
// line marked with its process, then childEnd) and the first line of the
// service install.
Lines InstalledAfter(const Lines& before, const std::wstring& tool, const Lines& childEnd = {},
                     const std::string& limitSeconds = "120");
inline const std::string kEngineInstallFailed =
    "The engine install (process <pid>) failed with exit code 0xFFFFFFFF; the update goes on";
inline const Lines kInstalled = InstalledAfter(kThroughEngineUninstall, kProductDir + L"\\zelunst.exe");
// The run log of the tool in dir without stamps (UnstampedLogLines), every
// process id shown as <pid> and a crash line's offset as <offset>.
Lines UpdateLog(const std::wstring& dir);
// The lines of the product service's start from `dir`, its path quoted or not.
Lines ServiceStartLines(const std::wstring& dir, const std::string& outcome, bool quoted = false);

// The starts recorded by the given programs, in the order they happened (by
// the tick each record carries, ties in file order).
std::vector<StandInRecord> StartsInOrder(const std::vector<std::wstring>& programs);

class SmoothUpdateFixture : public ::testing::Test {
protected:
    explicit SmoothUpdateFixture(std::wstring productDir = kProductDir,
                                 std::wstring engineDir = L"C:\\zt\\SuEngine")
        : productDir_(std::move(productDir)), engineDir_(std::move(engineDir)) {}

    void SetUp() override;
    void TearDown() override;

    // "<tool>" -smoothupdate, with its console output captured, within four
    // minutes.
    ProcessResult RunUpdateAs(const std::wstring& tool) const;
    // Runs the update (after removing the last run's log) and checks its exit
    // code and log; what it wrote to its console is returned.
    std::string ExpectUpdate(DWORD exitCode, const Lines& log) const;
    // The run log, and the children's command lines in start order, of a
    // whole update whose service start succeeds.
    Lines SucceededLog(bool quoted = false) const;
    std::vector<std::wstring> ChildCommandLines(bool quoted = false) const;
    // Waits until the product service runs again and the children have ended.
    void ExpectProductBack() const;

    // Product folder: settings.cfg, an old settings.cfg.bak and a few files;
    // reupdate: new, changed and excluded files.
    void StageUpdate() const;
    // The stand-ins the tool starts.
    std::vector<std::wstring> ChildPrograms() const;

    StandInProduct product;
    ProcessHandles mainProgram;

private:
    std::wstring productDir_;
    std::wstring engineDir_;
};

}  // namespace zeltest
