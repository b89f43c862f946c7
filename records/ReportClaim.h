#pragma once
// One report at a time: the first thread to meet a failure claims the report,
// and the launcher's thread claims it while it dismisses the record keeper.

#include <windows.h>

// The first failure to claim reports. One that comes while the keeper is being
// dismissed waits for that (6 s at most), then claims: the keeper is gone by
// then, and the report is the run's own. False when another report is under
// way.
bool ClaimReport();
// The launcher's thread, before it dismisses the keeper. False when a report
// is under way.
bool ClaimForDismissal();
void ReleaseClaim();
