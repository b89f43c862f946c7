#include "launcher/EngineWatchdog.h"

#include "launcher/ProcessGuards.h"
#include "system/EngineCallLimit.h"

namespace {

// How long a new thread may take to run, with nothing holding it up.
constexpr DWORD kThreadStartWaitMs = 10000;

}  // namespace

const wchar_t* EngineCallName(EngineCall call) {
    switch (call) {
    case EngineCall::Attach:
        return L"its attach code";
    case EngineCall::ClassObject:
        return L"DllGetClassObject";
    case EngineCall::Initialize:
        return L"Initialize";
    case EngineCall::Install:
        return L"Install";
    case EngineCall::Uninstall:
        return L"Uninstall";
    case EngineCall::Uninitialize:
        return L"Uninitialize";
    case EngineCall::Release:
        return L"Release";
    case EngineCall::Detach:
        return L"its detach code";
    case EngineCall::None:
        break;
    }
    return L"";
}

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
    if (WaitForSingleObject(watchdog.stop_.Get(), EngineCallLimitMs(watchdog.limitSeconds_)) == WAIT_TIMEOUT &&
        !AskKeeperAboutHang(watchdog.limitSeconds_)) {
        ReportHangInProcess(watchdog.watched_.Get(), watchdog.watchedId_, watchdog.limitSeconds_, watchdog.writer_);
    }
    return 0;
}
