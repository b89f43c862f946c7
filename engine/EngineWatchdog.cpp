#include "engine/EngineWatchdog.h"

#include <algorithm>

#include "log/ReportLines.h"
#include "log/VLogger.h"
#include "records/InsideReport.h"
#include "records/LastChance.h"
#include "records/ReportClaim.h"
#include "system/EngineCallLimit.h"

namespace {

// How long a new thread may take to run, with nothing holding it up.
constexpr DWORD kThreadStartWaitMs = 10000;
// What the run's own line and end take, at most, once a dump is given up.
constexpr DWORD kLineAndEndMs = 2000;

// The time left for a dump of a report that must end by `deadline`.
DWORD DumpTimeLeft(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64() + kLineAndEndMs;
    return now < deadline ? static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kDumpWaitMs)) : 0;
}

}  // namespace

DWORD EngineWatchdog::Start(DWORD limitSeconds) {
    if (limitSeconds == 0 || watch_) return ERROR_SUCCESS;
    limitSeconds_ = limitSeconds;
    watchedId_ = GetCurrentThreadId();
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), watched_.Put(),
                         THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE,
                         0)) {
        return GetLastError();
    }
    stop_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    running_.Reset(CreateSemaphoreW(nullptr, 0, 2, nullptr));
    if (!stop_ || !running_) return GetLastError();
    if (LiveKeeper() == nullptr && !writer_.Start(kThreadStartWaitMs)) return ERROR_TIMEOUT;
    watch_.Reset(CreateThread(nullptr, 0, Watch, this, 0, nullptr));
    if (watch_) lastResort_.Reset(CreateThread(nullptr, 0, EndAtTheLastResort, this, 0, nullptr));
    DWORD error = watch_ && lastResort_ ? ERROR_SUCCESS : GetLastError();
    // Both run within one wait.
    const ULONGLONG deadline = GetTickCount64() + kThreadStartWaitMs;
    for (int running = 0; error == ERROR_SUCCESS && running < 2; ++running) {
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
    DWORD dumpWaitMs = 0;
    switch (AskKeeperAboutHang(limitSeconds_)) {
    case KeeperAnswer::Taken:
        // It reports and ends the run, or it found the call returned and let
        // the thread go: the launcher's Stop follows.
        if (WaitForKeeperToEndTheRun(kReportWaitMs, stop_.Get())) {
            ReleaseHangLook();
            return;
        }
        // It had the dump's time and did not end the run: the line alone.
        break;
    case KeeperAnswer::Gone:
    case KeeperAnswer::NoKeeper:
        // Started at the watch's start unless a keeper was there then; one that
        // starts now may wait on a loader lock the library holds.
        dumpWaitMs = DumpTimeLeft(deadline);
        break;
    }
    if (!ReportHangFromInside(watched_.Get(), watchedId_, limitSeconds_, writer_, dumpWaitMs)) ReleaseHangLook();
}

void EngineWatchdog::CallingThreadEnded() {
    const auto call = static_cast<EngineCall>(runHandOver.call);
    // Outside a call the thread's end is the run's own.
    if (call == EngineCall::None || !ClaimReport()) return;
    DWORD status = 0;
    GetExitCodeThread(watched_.Get(), &status);
    // A keeper sees the end too, and ends the run at once.
    WaitForKeeperToEndTheRun(kKeeperTakesWithinMs);
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
    if (!ReportLineWritten() && call != EngineCall::None) {
        LogLineNow(EngineHangLine(EngineCallName(call), watchdog.limitSeconds_).Text());
    }
    LogLineNow(ReportOverdueLine(kReportBudgetMs / 1000).Text());
    EndWithLastChanceExitCode();
}
