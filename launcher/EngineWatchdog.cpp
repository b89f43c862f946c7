#include "launcher/EngineWatchdog.h"

#include "launcher/ProcessGuards.h"
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
    if (!writer_.Start(kThreadStartWaitMs)) return ERROR_TIMEOUT;
    watch_.Reset(CreateThread(nullptr, 0, Watch, this, 0, nullptr));
    if (!watch_) return GetLastError();
    if (WaitForSingleObject(running_.Get(), kThreadStartWaitMs) != WAIT_OBJECT_0) {
        Stop();
        return ERROR_TIMEOUT;
    }
    return ERROR_SUCCESS;
}

void EngineWatchdog::Enter(const wchar_t* call) { call_ = call; }

void EngineWatchdog::Stop() {
    if (!watch_) return;
    SetEvent(stop_.Get());
    // It ends at once, or it is reporting a hang and ends the process.
    WaitForSingleObject(watch_.Get(), kThreadStartWaitMs + kDumpWaitMs);
    watch_.Reset();
}

DWORD WINAPI EngineWatchdog::Watch(void* self) {
    EngineWatchdog& watchdog = *static_cast<EngineWatchdog*>(self);
    SetEvent(watchdog.running_.Get());
    if (WaitForSingleObject(watchdog.stop_.Get(), EngineCallLimitMs(watchdog.limitSeconds_)) == WAIT_TIMEOUT) {
        ReportHangAndEnd(watchdog.watched_.Get(), watchdog.watchedId_, watchdog.call_, watchdog.limitSeconds_,
                         watchdog.writer_);
    }
    return 0;
}
