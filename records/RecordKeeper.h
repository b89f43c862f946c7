#pragma once
// The record keeper: a second run of the tool, started before the engine's
// library is loaded, that keeps the record of a run that fails. The run only
// records what happened in its hand-over (ReportHandOver.h), signals and
// waits (LastChance.cpp); the keeper reads the failing run from outside,
// writes ZelUnst.dmp and the run's last line, and ends the run. It also logs
// how a run ended that ended without its report and without its normal end (a
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

// The keeper's command line: the tool, the option the dispatch keeps to itself,
// the run's handle and the hand-over's address as hex digits.
std::wstring KeeperCommandLine(const std::wstring& tool, const KeeperArguments& arguments);
// The run's handle and the hand-over's address of a keeper's command line;
// nothing for any other command line. What they point at is not looked at.
std::optional<KeeperArguments> KeeperArgumentsFrom(int argc, const wchar_t* const* argv);

// When this process was started as a keeper (its handle on the run works and
// the hand-over there reads back with its signature), keeps the run's record
// and gives the keeper's exit code. Nothing for any other start: the run goes
// on as for any option, so a keeper's option typed by hand is unknown.
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
    // The library is done with: the keeper ends without a line (it is ended if
    // it does not within a few seconds), and reports are the run's own again.
    void Stop();

private:
    // Ends a keeper that still runs, takes the reports back and closes every
    // handle; gives `result` back.
    DWORD Discard(DWORD result);

    KernelHandle run_;     // this process, as the keeper inherits it
    KernelHandle thread_;  // the thread that calls into the library, as the keeper inherits it
    KernelHandle request_;
    KernelHandle ready_;
    ProcessHandles keeper_;
};
