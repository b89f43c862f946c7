#pragma once
// The products' services through the service control manager. None of these
// operations logs; their callers do.

#include <windows.h>

#include <optional>

// 0 when "zelserv" is stopped; E_FAIL when it did not stop within the polls;
// otherwise the Win32 code of the open that failed (1060 when not installed).
DWORD ZelUnstall_StopServices();

// 0 with the state of "ruxserv" stored; E_FAIL otherwise, nothing stored.
HRESULT VMyQueryServicState(DWORD* state);

// What one look at the product service found.
enum class ServiceLook { ManagerUnavailable, Stopped, NotStopped };

// One look at "ruxserv", with the same access as VMyQueryServicState:
// ManagerUnavailable when the service manager cannot be opened; Stopped only
// when the service was opened and reports SERVICE_STOPPED; NotStopped
// otherwise (not installed, not readable, or in any other state).
ServiceLook LookAtProductService();

// The stop-and-poll rule of ZelUnstall_StopServices, apart from the service
// manager so that its queries, controls and sleeps can be counted.
inline constexpr int kStopPolls = 5;
inline constexpr DWORD kStopPollIntervalMs = 1000;

// query() gives the service's current state, or nothing when the query
// failed; sendStop() sends the stop control (its result does not matter);
// pause(ms) sleeps. A service already stopped gets no control. Otherwise the
// stop is sent and the service polled up to kStopPolls times, the first poll
// at once and a pause after every poll that did not see it stopped.
// 0 when it is (or became) stopped, E_FAIL when it did not.
template <typename Query, typename SendStop, typename Pause>
DWORD StopAndWaitForStopped(Query query, SendStop sendStop, Pause pause) {
    const auto isStopped = [&query] {
        const std::optional<DWORD> state = query();
        return state && *state == SERVICE_STOPPED;
    };
    if (isStopped()) return ERROR_SUCCESS;
    sendStop();
    for (int poll = 0; poll < kStopPolls; ++poll) {
        if (isStopped()) return ERROR_SUCCESS;
        pause(kStopPollIntervalMs);
    }
    return static_cast<DWORD>(E_FAIL);
}
