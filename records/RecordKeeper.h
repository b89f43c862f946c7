#pragma once
// The record keeper: a second run of the tool, started before the engine's
// library is loaded, that keeps the record of a run that fails. The run only
// records what happened in its hand-over (ReportHandOver.h), signals and
// waits (LastChance.cpp, KeeperSignals.h); the keeper reads the failing run
// from outside, writes ZelUnst.dmp and the run's last line, and ends the run.
// It also watches the thread that calls into the library, and logs how a run
// ended that ended without its report and without its normal end (a
// fail-fast, or a run ended from outside). It ends with the run.

#include <windows.h>

#include <optional>
#include <string>

#include "base/Handles.h"
#include "records/ReportHandOver.h"

// The keeper's half: how the run that started it is reached.
struct KeeperArguments {
    HANDLE run = nullptr;  // inherited: query, read, terminate, synchronize
    const ReportHandOver* handOver = nullptr;  // in the run's memory
};

// The keeper's command line (base/KeeperCommandLine.h): the tool, the option,
// the run's handle and the hand-over's address.
std::wstring KeeperCommandLine(const std::wstring& tool, const KeeperArguments& arguments);
// The run's handle and the hand-over's address of a keeper's command line;
// nothing for any other command line. What they point at is not looked at.
std::optional<KeeperArguments> KeeperArgumentsFrom(int argc, const wchar_t* const* argv);

// When this process was started with a keeper's command line, keeps the
// record of the run that started it and gives the keeper's exit code; a
// keeper never runs a job. One whose run cannot be reached through the
// handles and the hand-over it names (another process's, signed, naming that
// process and a thread of it) ends at once with -1 and logs nothing. Nothing
// for any other start.
std::optional<int> KeepRecordWhenAsked();

// The run's half, a member of the run's context: started before the library
// is loaded, stopped once it is freed.
class RecordKeeper {
public:
    RecordKeeper() = default;
    ~RecordKeeper() { Stop(); }
    RecordKeeper(const RecordKeeper&) = delete;
    RecordKeeper& operator=(const RecordKeeper&) = delete;

    // Starts the keeper and waits until it is ready; from then on crashes,
    // aborts and hangs are reported through it. ERROR_SUCCESS, or why it
    // could not start: the run then reports from inside.
    DWORD Start();
    // The library is done with: the keeper is told to end without a line (it
    // is ended if it does not within kKeeperEndWaitMs), and reports are the
    // run's own again.
    void Stop();

    // How long a dismissed keeper may take to end.
    static constexpr DWORD kKeeperEndWaitMs = 5000;

private:
    // Ends a keeper that still runs, withdraws the hand-over and closes every
    // handle; gives `result` back.
    DWORD Discard(DWORD result);
    void CloseHandles();

    KernelHandle run_;     // this process, as the keeper inherits it
    KernelHandle thread_;  // the thread that calls into the library, as the keeper inherits it
    KernelHandle request_;
    KernelHandle ready_;
    KernelHandle taken_;
    ProcessHandles keeper_;
};
