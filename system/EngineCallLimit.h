#pragma once
// How long the engine's solution library may take, from its load to its last
// call's return, before the run ends with a record of where it hung. An
// administrator may set it for a whole fleet as a policy value; a smooth
// update hands its own bound to the engine install it starts.

#include <windows.h>

// 900 s: far beyond what an engine install takes, and well inside the limits
// after which deployment agents give up on a program with a bare time-out.
inline constexpr DWORD kDefaultEngineCallLimitSeconds = 900;
// REG_DWORD seconds under HKLM; 0 means no limit. Policies are one key for
// 32-bit and 64-bit programs alike.
inline constexpr wchar_t kEngineCallPolicyKey[] = L"SOFTWARE\\Policies\\Ostiga\\zelunst";
inline constexpr wchar_t kEngineCallTimeoutName[] = L"EngineCallTimeout";

// After "-install" or "-uninstall", "EngineCallTimeout=<seconds>" sets the
// limit of that one run: a smooth update hands its own bound to the engine
// install it starts this way.
inline constexpr wchar_t kEngineCallTimeoutArgument[] = L"EngineCallTimeout=";

struct EngineCallLimit {
    DWORD seconds = kDefaultEngineCallLimitSeconds;  // 0: no limit
    bool setByPolicy = false;
};

// The administrator's value where one is set and readable, else the default.
EngineCallLimit EngineCallLimitFromPolicy();

// How long a report of a crash or of a hang past the limit may take, whoever
// makes it and whatever becomes of the run's record keeper: 3 s for the keeper
// to take the report, 35 s for its dump and line, and 2 s for the run's own
// line should the keeper fail it. A hung run whose report has not ended it by
// then is ended by its last resort.
inline constexpr DWORD kReportBudgetMs = 40000;

// Seconds as milliseconds for a wait: INFINITE for 0, at most the longest
// finite wait. extraMs is added to a finite limit.
DWORD EngineCallLimitMs(DWORD seconds, DWORD extraMs = 0);
