#pragma once
// The last-chance handling that ends a run whose code, or code it loaded,
// crashed, overflowed its stack or aborted.
//
// While a record keeper runs beside the run (RecordKeeper.h), a failing thread
// only records what happened in the hand-over (ReportHandOver.h), signals the
// keeper and waits: the keeper writes the dump and the line from outside and
// ends the run. The failing thread may hold the heap's lock or the loader's;
// nothing it does then needs either. A keeper that does not take the report
// within seconds, or that ends without ending the run, counts as gone. Without
// a keeper the run reports from inside (InsideReport.h): its line first,
// without the heap, then its dump. Either way the run ends within
// kReportBudgetMs of the failure (ReportClaim.h).

#include <windows.h>

// Installs the process-wide unhandled-exception filter (any thread, no system
// dialog) and the C runtime's abort handling (its message goes to stderr, never
// to a box). Each leaves the report to the keeper or makes it from inside, and
// ends the process with the last-chance exit code. A fault in the engine
// library's detach code while the run frees it, which the loader may swallow
// (Wine's does), is taken before any handler sees it. A fail-fast, which no
// handler sees, gets no Error Reporting window (WerSetFlags): the keeper logs
// how the run ended. The process error mode, which child processes inherit,
// is not touched.
void InstallLastChanceHandlers();

// The exit code of a run that ends through the last-chance handling: the
// failure code of the operation that runs. -1 until one is chosen.
void SetLastChanceExitCode(int exitCode);

// Ends the process at once with the last-chance exit code.
[[noreturn]] void EndWithLastChanceExitCode();

// How every run ends, once its exit code is known and its lines are written:
// a record keeper still there is ended first (and waited for a moment, so
// that it holds no dump file once the run is gone), then the process ends
// itself with TerminateProcess. That takes no loader lock, no PEB lock and no
// C runtime lock, and runs neither the C runtime's exit functions nor any
// library's detach code, all of which a library's thread may hold up for good.
// The tool's own output is written at once (ConsoleOutput.h) and the run log
// line by line: nothing is left to flush.
[[noreturn]] void EndProcessWith(UINT exitCode);

// From now on, a run (never a keeper) that is being ended through ExitProcess,
// which the tool itself never calls (a library did, or the C runtime's exit()
// for one), did not finish, whatever status was asked for: it logs
// ExitProcessLine unless a report wrote its line, and ends with the
// last-chance exit code instead, before any library's detach code runs. The
// process's end runs a fiber-local callback of the thread that called
// ExitProcess (so Wine does, before the libraries' detach code): this thread
// gets one here, every thread started later one through
// WatchThreadForExitProcess. Windows also calls the executable's TLS
// callbacks with DLL_PROCESS_DETACH (OnProcessDetach). The C runtime's exit()
// is caught before it runs any other exit function, as the run log's end is
// one of them.
void WatchForExitProcess();
// For the executable's TLS callback, on every thread's start.
void WatchThreadForExitProcess();
// For the executable's TLS callback, on the process's detach.
void OnProcessDetach();
