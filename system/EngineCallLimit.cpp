#include "system/EngineCallLimit.h"

#include <algorithm>
#include <optional>

#include "system/Registry.h"

EngineCallLimit EngineCallLimitFromPolicy() {
    const std::optional<DWORD> seconds = ReadMachineDword(kEngineCallPolicyKey, kEngineCallTimeoutName);
    if (!seconds) return {};
    return {*seconds, true};
}

DWORD EngineCallLimitMs(DWORD seconds, DWORD extraMs) {
    if (seconds == 0) return INFINITE;
    const ULONGLONG milliseconds = ULONGLONG{seconds} * 1000 + extraMs;
    return static_cast<DWORD>(std::min<ULONGLONG>(milliseconds, INFINITE - 1));
}
