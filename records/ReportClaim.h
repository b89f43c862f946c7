#pragma once
// One report at a time, and no normal end while one is due. A thread that
// meets a failure announces it, then claims the report and makes it (through
// the keeper, or from inside); the watch holds the claim while it looks at a
// hang, which it may let go again; the launcher's thread holds it while it
// dismisses the keeper, and closes it before the process ends.

#include <windows.h>

#include "system/EngineCallLimit.h"

// A thread met a failure that it will report: from now on the process does
// not end normally.
void AnnounceFailure();
// Whether a thread has announced a failure that has not ended the run yet.
bool FailureAnnounced();
// Takes the report for a failure. One that comes while a hang is looked at or
// the keeper is dismissed waits for that (at most as long as either takes),
// then claims. False when another report is under way.
bool ClaimReport();
// Takes over the report that a thread claimed and did not make because it
// ended first (Wine ends a thread whose stack overflow leaves it no room to
// go on). False when endedThreadId does not hold the claim.
bool TakeOverTheReportOf(DWORD endedThreadId);
// Takes the claim to look at a hang; false when a report is under way.
bool ClaimForHangLook();
// The hang look found the call returned.
void ReleaseHangLook();
// The launcher's thread, before it dismisses the keeper; one that finds a hang
// looked at waits for that. False when a report is under way.
bool ClaimForDismissal();
void ReleaseDismissal();
// Another report ends the run: waits for it, kReportBudgetMs at most, then
// ends the process with the last-chance exit code.
[[noreturn]] void WaitForTheReportUnderWay();
// The launcher's thread, once the run is done, ends the process with
// exitCode. The reports are closed and every other thread of the process is
// stopped where it is first, so that a failure met on another thread has
// either been announced by then, and ends the run with its own code and line
// instead (this waits for it, WaitForTheReportUnderWay), or never reaches its
// handler. The end itself is EndProcessWith's: no stream is flushed, no exit
// function, static destructor or library's detach code runs.
[[noreturn]] void EndRunWith(int exitCode);
