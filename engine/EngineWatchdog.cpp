#include "engine/EngineWatchdog.h"

#include "log/ReportLines.h"
#include "log/VLogger.h"
#include "records/InsideReport.h"
#include "records/LastChance.h"
#include "records/ReportClaim.h"
#include "system/EngineCallLimit.h"

namespace {

// How long a new thread may take to run, with nothing holding it up.
constexpr DWORD kThreadStartWaitMs = 10000;

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
    running_.Reset(CreateSemaphoreW(nullptr, 0, 2, nullptr));
    if (!stop_ || !running_) return GetLastError();
    // A writer that is not ready costs a hang its dump, not its limit.
    if (limitSeconds != 0 && LiveKeeper() == nullptr) writer_.Start(kThreadStartWaitMs);
    watch_.Reset(CreateThread(nullptr, 0, Watch, this, 0, nullptr));
    if (watch_ && limitSeconds != 0) lastResort_.Reset(CreateThread(nullptr, 0, EndAtTheLastResort, this, 0, nullptr));
    const int threads = limitSeconds != 0 ? 2 : 1;
    DWORD error = watch_ && (lastResort_ || threads == 1) ? ERROR_SUCCESS : GetLastError();
    // They run within one wait.
    const ULONGLONG deadline = GetTickCount64() + kThreadStartWaitMs;
    for (int running = 0; error == ERROR_SUCCESS && running < threads; ++running) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline ||
            WaitForSingleObject(running_.Get(), static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
            error = ERROR_TIMEOUT;
        }
    }
    if (error != ERROR_SUCCESS) Stop();
    return error;
}

void EngineWatchdog::Stop() {
    NoteEngineCall(EngineCall::None);
    if (!watch_) return;
    SetEvent(stop_.Get());
    // They end at once, or a report of a hang under way ends the process.
    const HANDLE threads[] = {watch_.Get(), lastResort_.Get()};
    WaitForMultipleObjects(lastResort_ ? 2 : 1, threads, TRUE, kReportBudgetMs + kThreadStartWaitMs);
    watch_.Reset();
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

DWORD WINAPI EngineWatchdog::EndAtTheLastResort(void* self) {
    EngineWatchdog& watchdog = *static_cast<EngineWatchdog*>(self);
    ReleaseSemaphore(watchdog.running_.Get(), 1, nullptr);
    if (WaitForSingleObject(watchdog.stop_.Get(), EngineCallLimitMs(watchdog.limitSeconds_, kReportBudgetMs)) !=
        WAIT_TIMEOUT) {
        return 0;
    }
    const auto call = static_cast<EngineCall>(runHandOver.call);
    if (call != EngineCall::None) WriteReportLine(EngineHangLine(EngineCallName(call), watchdog.limitSeconds_));
    LogLineNow(ReportOverdueLine(kReportBudgetMs / 1000).Text());
    EndWithLastChanceExitCode();
}
