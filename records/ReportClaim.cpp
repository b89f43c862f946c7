#include "records/ReportClaim.h"

#include "records/ReportHandOver.h"

namespace {

// Who has the report: nobody, a thread that reports a failure, or the
// launcher's thread while it dismisses the keeper.
enum Claim : LONG { kFree, kReporting, kDismissing };
// A failure that comes while the keeper is dismissed waits this long, in
// polls of 10 ms, for the dismissal to end (it waits 5 s for the keeper).
constexpr int kDismissalPolls = 600;

}  // namespace

bool ClaimReport() {
    for (int poll = 0; poll < kDismissalPolls; ++poll) {
        const LONG held = InterlockedCompareExchange(&runHandOver.claimed, kReporting, kFree);
        if (held == kFree) return true;
        if (held == kReporting) return false;
        Sleep(10);
    }
    return false;
}

bool ClaimForDismissal() { return InterlockedCompareExchange(&runHandOver.claimed, kDismissing, kFree) == kFree; }

void ReleaseClaim() { InterlockedExchange(&runHandOver.claimed, kFree); }
