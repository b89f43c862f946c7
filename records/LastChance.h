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
// ends the process with the last-chance exit code. A fail-fast, which no
// handler sees, gets no Error Reporting window (WerSetFlags): the keeper logs
// how the run ended. The process error mode, which child processes inherit,
// is not touched.
void InstallLastChanceHandlers();

// The exit code of a run that ends through the last-chance handling: the
// failure code of the operation that runs. -1 until one is chosen.
void SetLastChanceExitCode(int exitCode);

// Ends the process at once with the last-chance exit code.
[[noreturn]] void EndWithLastChanceExitCode();
