#include "engine/EngineWatchdog.h"

#include "records/InsideReport.h"
#include "records/KeeperSignals.h"
#include "system/EngineCallLimit.h"

namespace {

// How long a new thread may take to run, with nothing holding it up.
constexpr DWORD kThreadStartWaitMs = 10000;

}  // namespace

DWORD EngineWatchdog::Start(DWORD limitSeconds) {
    if (limitSeconds == 0 || watch_) return ERROR_SUCCESS;
    limitSeconds_ = limitSeconds;
    watchedId_ = GetCurrentThreadId();
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), watched_.Put(),
                         THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, 0)) {
        return GetLastError();
    }
    stop_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    running_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_ || !running_) return GetLastError();
    if (!ReportsGoToKeeper() && !writer_.Start(kThreadStartWaitMs)) return ERROR_TIMEOUT;
    watch_.Reset(CreateThread(nullptr, 0, Watch, this, 0, nullptr));
    if (!watch_) return GetLastError();
    if (WaitForSingleObject(running_.Get(), kThreadStartWaitMs) != WAIT_OBJECT_0) {
        Stop();
        return ERROR_TIMEOUT;
    }
    return ERROR_SUCCESS;
}

void EngineWatchdog::Stop() {
    NoteEngineCall(EngineCall::None);
    if (!watch_) return;
    SetEvent(stop_.Get());
    // It ends at once, or it is reporting a hang and ends the process.
    WaitForSingleObject(watch_.Get(), kThreadStartWaitMs + kReportWaitMs);
    watch_.Reset();
}

DWORD WINAPI EngineWatchdog::Watch(void* self) {
    EngineWatchdog& watchdog = *static_cast<EngineWatchdog*>(self);
    SetEvent(watchdog.running_.Get());
    if (WaitForSingleObject(watchdog.stop_.Get(), EngineCallLimitMs(watchdog.limitSeconds_)) != WAIT_TIMEOUT) {
        return 0;
    }
    if (const HANDLE keeper = AskKeeperAboutHang(watchdog.limitSeconds_)) {
        // The keeper ends the run, or finds the call returned and Stop follows.
        // Should it end, or not be done in time, the run reports itself.
        const HANDLE waits[] = {watchdog.stop_.Get(), keeper};
        if (WaitForMultipleObjects(2, waits, FALSE, kReportWaitMs + kThreadStartWaitMs) == WAIT_OBJECT_0) return 0;
    }
    // Started at the watch's start unless a keeper was there then; one that
    // starts now may wait on a loader lock the library holds.
    watchdog.writer_.Start(kThreadStartWaitMs);
    ReportHangInProcess(watchdog.watched_.Get(), watchdog.watchedId_, watchdog.limitSeconds_, watchdog.writer_);
    return 0;
}
