#pragma once
// The bound on the engine's solution library: from its load until its last
// call has returned, the run's thread must come back from it within the limit,
// or the run ends with a line, a dump of where it hangs and the option's
// failure code (ReportHangAndEnd).

#include <windows.h>

#include <atomic>

#include "base/Handles.h"
#include "system/MiniDump.h"

// The library's calls as the hang line names them.
namespace engine_call {
inline constexpr wchar_t kAttach[] = L"its attach code";
inline constexpr wchar_t kClassObject[] = L"DllGetClassObject";
inline constexpr wchar_t kInitialize[] = L"Initialize";
inline constexpr wchar_t kInstall[] = L"Install";
inline constexpr wchar_t kUninstall[] = L"Uninstall";
inline constexpr wchar_t kUninitialize[] = L"Uninitialize";
inline constexpr wchar_t kRelease[] = L"Release";
inline constexpr wchar_t kDetach[] = L"its detach code";
}  // namespace engine_call

class EngineWatchdog {
public:
    EngineWatchdog() = default;
    ~EngineWatchdog() { Stop(); }
    EngineWatchdog(const EngineWatchdog&) = delete;
    EngineWatchdog& operator=(const EngineWatchdog&) = delete;

    // Starts the watch on the calling thread, over limitSeconds from now (0:
    // no limit, nothing is started). Every thread the report needs runs before
    // this returns: while a library's attach code runs it holds the loader
    // lock, and a thread created then does not start. ERROR_SUCCESS, or the
    // error that kept a thread from starting (the run then goes unwatched).
    DWORD Start(DWORD limitSeconds);
    // Names the call the watched thread makes next; a string literal.
    void Enter(const wchar_t* call);
    // The last call has returned: the watch ends, its threads with it.
    void Stop();

private:
    static DWORD WINAPI Watch(void* self);

    DWORD limitSeconds_ = 0;
    KernelHandle watched_;
    DWORD watchedId_ = 0;
    std::atomic<const wchar_t*> call_{engine_call::kAttach};
    KernelHandle stop_;
    KernelHandle running_;
    KernelHandle watch_;
    DumpWriter writer_;
};
