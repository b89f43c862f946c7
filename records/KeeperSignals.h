#pragma once
// The run's side of the hand-over to its record keeper (RecordKeeper.h): what
// it offers the keeper, and how it asks it for a report or tells it to end.

#include <windows.h>

#include "records/ReportHandOver.h"
#include "system/MiniDump.h"

// How long a report may take: its dump, then its line.
inline constexpr DWORD kReportWaitMs = kDumpWaitMs + 5000;

// Where the hand-over lies in this process: the keeper reads it there.
const ReportHandOver* HandOverAddress();
// Fills the hand-over for a keeper about to start: the handles it inherits
// and the mark the run's log lines carry. The thread is the one that calls
// into the engine library.
void OfferHandOver(HANDLE request, HANDLE ready, HANDLE watchedThread);
// From now on reports go to the keeper, as long as its process runs; null:
// reports are the run's own again.
void HandReportsTo(HANDLE keeper);
// Whether reports go to a keeper that still runs.
bool ReportsGoToKeeper();
// The keeper, while its process runs; null otherwise. Read only with the claim
// held, or by the watch before the keeper can be dismissed.
HANDLE LiveKeeper();
// Names the engine library's call that the watched thread makes next (None
// once the last one has returned), for a hang report.
void NoteEngineCall(EngineCall call);
// The watch found the library's call still running at limitSeconds: the
// keeper is told, and it stops the thread, sees whether the call has
// returned meanwhile, and if not reports the hang and ends the run. The
// keeper's process, for the watch to see it end without doing so; null when
// there is no keeper to tell.
HANDLE AskKeeperAboutHang(DWORD limitSeconds);
// The keeper's part of a failure: it writes the dump and the line and ends the
// run; should it not within the time a report takes, the run ends itself.
// Returns only when the keeper ended without ending the run: the report is
// then the run's own.
void LeaveToKeeper(HANDLE keeper, KeeperRequest request);
// Another report ends the run; without a keeper, a fault in the reporter
// itself ends it now.
[[noreturn]] void LeaveToTheReportUnderWay();
// The library is done with: the keeper is told to end without a line and
// waited for up to waitMs; reports are the run's own again. A failure on
// another thread meanwhile waits for this and is reported from inside. False
// when the keeper did not end in time (it is left to its caller). Should a
// report be under way instead, this never returns: that report ends the run.
bool DismissKeeper(HANDLE keeper, DWORD waitMs);
