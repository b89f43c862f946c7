#pragma once
// The stop-and-poll rule for a service, apart from the service manager so
// that its queries, controls and sleeps can be counted.

#include <windows.h>

#include <optional>

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
