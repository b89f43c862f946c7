#pragma once
// One report at a time, and no normal end while one is due. A thread that
// meets a failure announces it, then claims the report and makes it (through
// the keeper, or from inside); the watch holds the claim while it looks at a
// hang, which it may let go again; the launcher's thread holds it while it
// dismisses the keeper, and closes it before the process ends.

#include <windows.h>

#include "system/EngineCallLimit.h"

// How long a report may take, whoever makes it and whatever becomes of its
// keeper: a crash's as a hang's.
inline constexpr DWORD kReportBudgetMs = kHangReportBudgetMs;

// A thread met a failure that it will report: from now on the process does
// not end normally.
void AnnounceFailure();
// Takes the report for a failure. One that comes while a hang is looked at or
// the keeper is dismissed waits for that (at most as long as either takes),
// then claims. False when another report is under way.
bool ClaimReport();
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
// The launcher's thread, once the run is done: a failure that a thread has
// announced or is reporting ends the run with its own code and line, and this
// waits for it (WaitForTheReportUnderWay). Returns when there is none; a
// failure met after this is one of the process's own end.
void CloseReports();
