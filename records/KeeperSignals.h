#pragma once
// The run's side of the hand-over to its record keeper (RecordKeeper.h): what
// it offers the keeper, and how it asks it for a report or tells it to end.
// A keeper that does not take a request within kKeeperTakesWithinMs counts as
// gone: it is ended, and the run reports from inside, as when it had none.

#include <windows.h>

#include "records/ReportHandOver.h"
#include "system/MiniDump.h"

// How long a keeper may take to take a request.
inline constexpr DWORD kKeeperTakesWithinMs = 3000;
// How long the keeper's report may take once taken: its dump, then its line.
inline constexpr DWORD kReportWaitMs = kDumpWaitMs + 5000;
// How long an ended keeper may take to be gone, its handles (its dump's file
// among them) closed.
inline constexpr DWORD kKeeperGoneWaitMs = 2000;

// Where the hand-over lies in this process: the keeper reads it there.
const ReportHandOver* HandOverAddress();
// Fills the hand-over for a keeper about to start: the handles it inherits
// and the mark the run's log lines carry. The thread is the one that calls
// into the engine library.
void OfferHandOver(HANDLE request, HANDLE ready, HANDLE taken, HANDLE watchedThread);
// From now on reports go to the keeper (the run's handle on its process), as
// long as it runs; null: they are the run's own again, and the hand-over is
// withdrawn.
void HandReportsTo(HANDLE keeper);
// The keeper's process while it runs and reports go to it; null otherwise.
HANDLE LiveKeeper();
// Names the engine library's call that the calling thread makes next (None
// once the last one has returned), for a hang report, and that thread.
void NoteEngineCall(EngineCall call);

enum class KeeperAnswer {
    NoKeeper,  // the run has none: it reports itself
    Taken,     // the keeper has the report now
    Gone,      // it ended, or did not take it in time and was ended: the run reports itself
};
// Asks the keeper to report a crash or an abort (the hand-over already names
// it). Call with the report claimed.
KeeperAnswer AskKeeper(KeeperRequest request);
// The watch found the library's call still running at limitSeconds: the
// keeper stops the thread, sees whether the call has returned meanwhile, lets
// it go if so and else reports the hang and ends the run. It has decided by
// the time it has taken the request. Call with the hang look claimed.
KeeperAnswer AskKeeperAboutHang(DWORD limitSeconds);
// After Taken: waits up to waitMs for the keeper to end the run, or for
// `alsoDone` (null for none). False when the keeper ended without ending the
// run, or did not in time: it is ended then, and the report is the run's own.
bool WaitForKeeperToEndTheRun(DWORD waitMs, HANDLE alsoDone = nullptr);
// Ends the keeper's process whatever state it is in, and waits up to
// kKeeperGoneWaitMs for it to be gone.
void EndKeeper(HANDLE keeper);
// The run ends: a keeper that reports still go to is ended (EndKeeper).
void EndKeeperStillThere();
// For a thread of the run other than the one that reports a failure, which
// may be the very thread the keeper holds stopped: once the keeper has ended,
// or has had the report for longer than it may (msSinceFailure since the
// failure was announced), it is ended and the failing thread is let go of
// every suspension it holds. That thread was running when it handed the
// report over, so every suspension it holds since is the keeper's (its dump
// writer stops the run's threads one by one): it then reports from inside,
// within its budget. True once done; false while the keeper may still report.
bool TakeTheReportBackFromTheKeeper(DWORD msSinceFailure);
// The library is done with: the keeper is told to end without a line and
// waited for up to waitMs, then ended if it still runs; the hand-over is
// withdrawn, and reports are the run's own again. A failure on another thread
// meanwhile waits for this, then is reported from inside. Should a report be
// under way instead, this waits for it to end the run
// (WaitForTheReportUnderWay).
void DismissKeeper(HANDLE keeper, DWORD waitMs);
