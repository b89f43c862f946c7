#include "engine/EngineWatchdog.h"

#include <memory>

#include "log/ReportLines.h"
#include "log/VLogger.h"
#include "records/InsideReport.h"
#include "records/LastChance.h"
#include "records/ReportClaim.h"

namespace {

// How long a new thread may take to run, with nothing holding it up.
constexpr DWORD kThreadStartWaitMs = 10000;
// How often the last resort looks at the run.
constexpr DWORD kLastResortLookMs = 100;
// A failure's report ends within kReportBudgetMs of its claim; the last
// resort gives it this much more, as the claim may come a moment after the
// announcement.
constexpr DWORD kReportMarginMs = 5000;

// What the last resort needs, in memory and handles of its own: it outlives
// the watchdog and runs until the process is gone, which it ends at the
// latest. Never freed: its thread never returns but for an abandoned watch.
struct LastResort {
    DWORD limitSeconds = 0;
    KernelHandle running;    // released once the thread runs
    KernelHandle callsDone;  // set once the library's last call has returned
    KernelHandle abandoned;  // the watch could not start: the last resort ends
};

HANDLE CopyOf(const KernelHandle& handle) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), handle.Get(), GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}

// The run has outlived a bound: the line that says so, and the end with the
// last-chance exit code.
[[noreturn]] void EndOverdue(const FixedText& overdueLine) {
    LogLineNow(overdueLine.Text());
    EndWithLastChanceExitCode();
}

DWORD WINAPI EndAtTheLastResort(void* parameter) {
    const std::unique_ptr<LastResort> lastResort(static_cast<LastResort*>(parameter));
    ReleaseSemaphore(lastResort->running.Get(), 1, nullptr);
    lastResort->running.Reset();
    const ULONGLONG startedAt = GetTickCount64();
    const DWORD limitMs = EngineCallLimitMs(lastResort->limitSeconds, kReportBudgetMs);
    ULONGLONG failureSeenAt = 0;
    ULONGLONG callsDoneAt = 0;
    bool reportTakenBack = false;
    const HANDLE waits[] = {lastResort->abandoned.Get(), lastResort->callsDone.Get()};
    for (;;) {
        const DWORD waited = WaitForMultipleObjects(callsDoneAt == 0 ? 2 : 1, waits, FALSE, kLastResortLookMs);
        if (waited == WAIT_OBJECT_0) return 0;
        const ULONGLONG now = GetTickCount64();
        if (waited == WAIT_OBJECT_0 + 1) callsDoneAt = now;
        if (FailureAnnounced()) {
            if (failureSeenAt == 0) failureSeenAt = now;
            if (!reportTakenBack) reportTakenBack = TakeTheReportBackFromTheKeeper(static_cast<DWORD>(now - failureSeenAt));
            if (now - failureSeenAt >= kReportBudgetMs + kReportMarginMs) {
                WriteCrashLineOnce();
                EndOverdue(FailureReportOverdueLine(kReportBudgetMs / 1000));
            }
        }
        if (callsDoneAt != 0 && now - callsDoneAt >= EngineWatchdog::kRunEndBudgetMs) {
            EndOverdue(RunEndOverdueLine(EngineWatchdog::kRunEndBudgetMs / 1000));
        }
        if (callsDoneAt == 0 && limitMs != INFINITE && now - startedAt >= limitMs) {
            const auto call = static_cast<EngineCall>(runHandOver.call);
            if (call != EngineCall::None) {
                WriteReportLine(EngineHangLine(EngineCallName(call), lastResort->limitSeconds));
            }
            EndOverdue(ReportOverdueLine(kReportBudgetMs / 1000));
        }
    }
}

}  // namespace

DWORD EngineWatchdog::Start(DWORD limitSeconds) {
    if (watch_) return ERROR_SUCCESS;
    limitSeconds_ = limitSeconds;
    watchedId_ = GetCurrentThreadId();
    // A dump an earlier run's writer was ended in the middle of.
    RemoveUnfinishedDump(kDumpFileName);
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), watched_.Put(),
                         THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE,
                         0)) {
        return GetLastError();
    }
    stop_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    callsDone_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    abandoned_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    running_.Reset(CreateSemaphoreW(nullptr, 0, 2, nullptr));
    if (!stop_ || !callsDone_ || !abandoned_ || !running_) return GetLastError();
    // A writer that is not ready costs a hang its dump, not its limit.
    if (limitSeconds != 0 && LiveKeeper() == nullptr) writer_.Start(kThreadStartWaitMs);
    watch_.Reset(CreateThread(nullptr, 0, Watch, this, 0, nullptr));
    auto lastResort = std::make_unique<LastResort>();
    lastResort->limitSeconds = limitSeconds;
    lastResort->running.Reset(CopyOf(running_));
    lastResort->callsDone.Reset(CopyOf(callsDone_));
    lastResort->abandoned.Reset(CopyOf(abandoned_));
    if (watch_ && lastResort->running && lastResort->callsDone && lastResort->abandoned) {
        lastResort_.Reset(CreateThread(nullptr, 0, EndAtTheLastResort, lastResort.get(), 0, nullptr));
        if (lastResort_) lastResort.release();  // the thread's now
    }
    DWORD error = watch_ && lastResort_ ? ERROR_SUCCESS : GetLastError();
    // They run within one wait.
    const ULONGLONG deadline = GetTickCount64() + kThreadStartWaitMs;
    for (int running = 0; error == ERROR_SUCCESS && running < 2; ++running) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline ||
            WaitForSingleObject(running_.Get(), static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
            error = ERROR_TIMEOUT;
        }
    }
    if (error != ERROR_SUCCESS) {
        SetEvent(abandoned_.Get());
        Stop();
    }
    return error;
}

void EngineWatchdog::Stop() {
    NoteEngineCall(EngineCall::None);
    if (!watch_) return;
    SetEvent(stop_.Get());
    // It ends at once, or a report of a hang under way ends the process.
    WaitForSingleObject(watch_.Get(), kReportBudgetMs + kThreadStartWaitMs);
    watch_.Reset();
    // From now on the last resort bounds the run's end.
    SetEvent(callsDone_.Get());
    lastResort_.Reset();
}

DWORD WINAPI EngineWatchdog::Watch(void* self) {
    EngineWatchdog& watchdog = *static_cast<EngineWatchdog*>(self);
    ReleaseSemaphore(watchdog.running_.Get(), 1, nullptr);
    const HANDLE waits[] = {watchdog.stop_.Get(), watchdog.watched_.Get()};
    switch (WaitForMultipleObjects(2, waits, FALSE, EngineCallLimitMs(watchdog.limitSeconds_))) {
    case WAIT_OBJECT_0 + 1:
        watchdog.CallingThreadEnded();
        break;
    case WAIT_TIMEOUT:
        watchdog.LookAtTheHang();
        break;
    default:
        break;
    }
    return 0;
}

void EngineWatchdog::LookAtTheHang() {
    // A report under way ends the run.
    if (!ClaimForHangLook()) return;
    const ULONGLONG deadline = GetTickCount64() + kReportBudgetMs;
    // A keeper that reports ends the run; one that found the call returned let
    // the thread go, and the launcher's Stop follows. One that took the look
    // and did neither leaves the report to the run, with what is left of the
    // time.
    if (AskKeeperAboutHang(limitSeconds_) == KeeperAnswer::Taken &&
        WaitForKeeperToEndTheRun(kReportWaitMs, stop_.Get())) {
        ReleaseHangLook();
        return;
    }
    // The writer started at the watch's start unless a keeper was there then;
    // one that starts now may wait on a loader lock the library holds.
    if (!ReportHangFromInside(watched_.Get(), watchedId_, limitSeconds_, writer_, DumpTimeLeft(deadline))) {
        ReleaseHangLook();
    }
}

void EngineWatchdog::CallingThreadEnded() {
    const auto call = static_cast<EngineCall>(runHandOver.call);
    // Outside a call the thread's end is the run's own. A report under way
    // ends the run, but one the thread itself claimed and did not make.
    if (call == EngineCall::None || (!ClaimReport() && !TakeOverTheReportOf(watchedId_))) return;
    DWORD status = 0;
    GetExitCodeThread(watched_.Get(), &status);
    // A keeper sees the end too, and ends the run at once.
    WaitForKeeperToEndTheRun(kKeeperTakesWithinMs);
    if (runHandOver.faultingThreadId == watchedId_) ReportCrashOfEndedThread();
    ReportCallingThreadEnded(call, status);
}

