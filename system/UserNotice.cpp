#include "system/UserNotice.h"

namespace {

std::optional<DWORD> CurrentSessionId() {
    DWORD sessionId = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &sessionId)) return std::nullopt;
    return sessionId;
}

std::optional<DWORD> CurrentWindowStationFlags() {
    // The process's own window station: not to be closed.
    const HWINSTA station = GetProcessWindowStation();
    if (station == nullptr) return std::nullopt;
    USEROBJECTFLAGS flags{};
    if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr)) return std::nullopt;
    return flags.dwFlags;
}

}  // namespace

bool NoticeCanBeSeen(std::optional<DWORD> sessionId, std::optional<DWORD> windowStationFlags) {
    if (sessionId && *sessionId == 0) return false;
    if (windowStationFlags && (*windowStationFlags & WSF_VISIBLE) == 0) return false;
    return true;
}

int ShowUserNotice(const wchar_t* text, const wchar_t* caption, UINT style) {
    if (!NoticeCanBeSeen(CurrentSessionId(), CurrentWindowStationFlags())) return IDOK;
    return MessageBoxW(nullptr, text, caption, style);
}
