#include "records/ReportClaim.h"

#include "records/LastChance.h"
#include "system/Processes.h"

namespace {

// Who has the report.
enum Claim : LONG {
    kFree,
    kReporting,   // a report that ends the run
    kLooking,     // the watch looks at a hang, and may let go
    kDismissing,  // the launcher's thread dismisses the keeper
    kClosed,      // the launcher's thread is done; the process ends
};
volatile LONG claim = kFree;
// The thread that holds a claim to report.
volatile LONG claimant = 0;
// Failures met and not yet reported: the run is not done while there is one.
volatile LONG failuresAnnounced = 0;

// A failure that finds the claim held by a look or a dismissal waits this
// long at most: a hang look ends within a report's budget, a dismissal within
// seconds.
constexpr DWORD kClaimWaitMs = kReportBudgetMs;

LONG TakeFrom(LONG from, LONG to) { return InterlockedCompareExchange(&claim, to, from); }

}  // namespace

void AnnounceFailure() { InterlockedIncrement(&failuresAnnounced); }

bool FailureAnnounced() { return InterlockedCompareExchange(&failuresAnnounced, 0, 0) != 0; }

bool ClaimReport() {
    const ULONGLONG giveUpAt = GetTickCount64() + kClaimWaitMs;
    for (;;) {
        LONG held = TakeFrom(kFree, kReporting);
        // The launcher's thread closed the reports: it waits for an announced one.
        if (held == kClosed) held = TakeFrom(kClosed, kReporting) == kClosed ? kFree : kReporting;
        if (held == kFree) {
            InterlockedExchange(&claimant, static_cast<LONG>(GetCurrentThreadId()));
            return true;
        }
        if (held == kReporting || GetTickCount64() >= giveUpAt) return false;
        Sleep(10);
    }
}

bool TakeOverTheReportOf(DWORD endedThreadId) {
    return InterlockedCompareExchange(&claim, kReporting, kReporting) == kReporting &&
           InterlockedCompareExchange(&claimant, static_cast<LONG>(GetCurrentThreadId()),
                                      static_cast<LONG>(endedThreadId)) == static_cast<LONG>(endedThreadId);
}

bool ClaimForHangLook() { return TakeFrom(kFree, kLooking) == kFree; }

void ReleaseHangLook() { TakeFrom(kLooking, kFree); }

bool ClaimForDismissal() {
    const ULONGLONG giveUpAt = GetTickCount64() + kClaimWaitMs;
    for (;;) {
        const LONG held = TakeFrom(kFree, kDismissing);
        if (held == kFree) return true;
        if (held != kLooking || GetTickCount64() >= giveUpAt) return false;
        Sleep(10);
    }
}

void ReleaseDismissal() { TakeFrom(kDismissing, kFree); }

void WaitForTheReportUnderWay() {
    Sleep(kReportBudgetMs);
    EndWithLastChanceExitCode();
}

void EndRunWith(int exitCode) {
    // A look or a dismissal left unfinished is a failure of its own.
    const ULONGLONG giveUpAt = GetTickCount64() + kClaimWaitMs;
    for (;;) {
        const LONG held = TakeFrom(kFree, kClosed);
        if (held == kFree || held == kClosed) break;
        if (held == kReporting) WaitForTheReportUnderWay();
        if (GetTickCount64() >= giveUpAt) EndWithLastChanceExitCode();
        Sleep(10);
    }
    std::vector<KernelHandle> stopped = SuspendThreadsOf(GetCurrentProcessId());
    if (FailureAnnounced()) {
        for (const KernelHandle& thread : stopped) ResumeThread(thread.Get());
        WaitForTheReportUnderWay();
    }
    EndProcessWith(static_cast<UINT>(exitCode));
}
