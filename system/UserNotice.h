#pragma once
// The tool's message boxes. It is often started by installers, deployment
// tools or services with nobody at the screen; a box nobody can see would
// hold the run forever, so it is shown only where a person can see it.

#include <windows.h>

#include <optional>

// Whether a box shown in this session and window station can reach a person:
// not in session 0 (services only), and only on a visible window station
// (WSF_VISIBLE). A value that could not be read does not hide the box.
bool NoticeCanBeSeen(std::optional<DWORD> sessionId, std::optional<DWORD> windowStationFlags);

// MessageBoxW without an owner window when someone can see it; IDOK, as if
// it had been acknowledged, when nobody can.
int ShowUserNotice(const wchar_t* text, const wchar_t* caption, UINT style);
