#pragma once
// What the entry function sets up before anything else runs: where libraries
// may come from, and the last-chance handling that ends a run whose code, or
// code it loaded, crashed, overflowed its stack, aborted or hung.
//
// While a record keeper runs beside the run (RecordKeeper.h), a failing thread
// only records what happened in the hand-over (ReportHandOver.h), signals the
// keeper and waits: the keeper writes the line and the dump from outside and
// ends the run. The failing thread may hold the heap's lock or the loader's;
// nothing it does then needs either. Without a keeper the run reports from
// inside, as far as the locks it holds let it.

#include <windows.h>

#include <cstdint>
#include <string>

#include "launcher/ReportHandOver.h"
#include "system/MiniDump.h"

// Library loads that name no full path search the tool's own folder and the
// system folder only, never PATH or the current folder. False where the
// system lacks the call (Windows 7 without KB2533623).
bool RestrictLibrarySearch();

// Installs the process-wide unhandled-exception filter (any thread, no system
// dialog) and the C runtime's abort handling (its message goes to stderr, never
// to a box). Either leaves the report to the keeper, or, without one, drops
// the unfinished log line, logs one line and ends the process at once with the
// last-chance exit code; an exception gets a dump too. A fail-fast, which no
// handler sees, gets no Error Reporting window (WerSetFlags): the keeper logs
// how the run ended. The process error mode, which child processes inherit,
// is not touched.
void InstallLastChanceHandlers();

// The exit code of a run that ends through the last-chance handling: the
// failure code of the operation that runs. -1 until one is chosen.
void SetLastChanceExitCode(int exitCode);

// Names the engine library's call that the watched thread makes next (None
// once the last one has returned), for a hang report.
void NoteEngineCall(EngineCall call);
// "Install", "its attach code"; empty for None.
const wchar_t* EngineCallName(EngineCall call);

// --- The hand-over to a record keeper (RecordKeeper.cpp). ---
// Where the hand-over lies in this process: the keeper reads it there.
const ReportHandOver* HandOverAddress();
// Fills the hand-over for a keeper about to start: the handles it inherits
// and the mark the run's log lines carry. The thread is the one that calls
// into the engine library.
void OfferHandOver(HANDLE request, HANDLE ready, HANDLE watchedThread);
// From now on reports go to the keeper, as long as its process runs.
void HandReportsTo(HANDLE keeper);
// Whether reports go to a keeper that still runs.
bool ReportsGoToKeeper();
// The watch found the library's call still running at limitSeconds: the
// keeper is told, and it stops the thread, sees whether the call has
// returned meanwhile, and if not reports the hang and ends the run. The
// keeper's process, for the watch to see it end without doing so; null when
// there is no keeper to tell.
HANDLE AskKeeperAboutHang(DWORD limitSeconds);
// The library is done with: the keeper is told to end without a line and
// waited for up to waitMs; reports are the run's own again. A failure on
// another thread meanwhile waits for this and is reported from inside. False
// when the keeper did not end in time (it is left to its caller). Should a
// report be under way instead, this never returns: that report ends the run.
bool DismissKeeper(HANDLE keeper, DWORD waitMs);

// Without a keeper: ends the run whose thread hungThread has not come back
// from the engine library's call within limitSeconds, by the road a crash
// takes: the thread stopped where it hangs, ZelUnst.dmp written beside the run
// log with that thread as the one that met the exception kHangExceptionCode
// at the place it hangs (given up after kDumpWaitMs, leaving no file), the
// unfinished log line dropped, EngineHangLine logged with "; no dump written"
// when there is no dump, and the process ended with the last-chance exit code.
// The library's other threads run on until the end. Returns, the thread let go
// again, when the call has returned by the time the thread is stopped.
// `writer` must be ready: while the library's attach code runs, no new thread
// starts. Should a crash be reported at the same time, that report ends the
// run and this one waits.
void ReportHangInProcess(HANDLE hungThread, DWORD hungThreadId, DWORD limitSeconds, DumpWriter& writer);

// "Unhandled exception 0xC0000005 at zeldecs.dll+0x162B"; an address in no
// module reads "?+0x<address>".
std::wstring UnhandledExceptionLine(DWORD code, const wchar_t* moduleName, std::uintptr_t offset);
// "The engine library has not returned from Install within 900 s".
std::wstring EngineHangLine(const wchar_t* call, DWORD limitSeconds);
// The line that ends a report whose dump could not be written.
std::wstring WithoutDump(const std::wstring& line);
// What the keeper logs for a run that ended without its report and without
// its normal end: "The run ended without finishing, with exit status
// 0xC0000409 (a fail-fast: ...)".
std::wstring UnfinishedRunLine(DWORD exitStatus);
// The line of a run that abort() ended.
inline constexpr wchar_t kAbortLine[] = L"Abnormal termination";
// Where the dump of a failed run goes, beside ZelUnst.log.
inline constexpr wchar_t kDumpFileName[] = L"ZelUnst.dmp";
// How long a report may take: its dump, then its line.
inline constexpr DWORD kReportWaitMs = kDumpWaitMs + 5000;
