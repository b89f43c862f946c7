#pragma once
// Service manager operations of the stand-ins and their installer: register,
// start, stop and remove an own-process service, and read its state.

#include <windows.h>

#include <string>

namespace standin {

// Creates the service (own process, demand start) or, when it exists, points
// it at the binary path again and makes it demand start. Win32 error code.
DWORD RegisterService(const std::wstring& name, const std::wstring& binaryPathName);
// ERROR_SUCCESS also when it was already running.
DWORD StartServiceByName(const std::wstring& name);
// Sends the stop control (unless already stopped) and waits up to waitMs for
// SERVICE_STOPPED. ERROR_SUCCESS when stopped, ERROR_TIMEOUT when not within
// the wait (or waitMs is 0 and it has not stopped yet), else the failing
// call's code (ERROR_INVALID_SERVICE_CONTROL when it refuses the stop).
DWORD StopServiceAndWait(const std::wstring& name, DWORD waitMs);
// Stops it (bounded) and deletes it; ERROR_SUCCESS when it is gone or marked.
DWORD RemoveService(const std::wstring& name, DWORD stopWaitMs);
// The current state (SERVICE_STOPPED ... SERVICE_PAUSED), 0 when unreadable.
DWORD QueryServiceState(const std::wstring& name);
const char* ServiceStateName(DWORD state);

// A command-line-safe form of a path: quoted when it holds a space or tab.
std::wstring QuoteIfNeeded(const std::wstring& path);
// The text inside leading quotes ("C:\A B\x.exe" -args -> C:\A B\x.exe), or
// the text itself when it does not start with a quote.
std::wstring Unquoted(const std::wstring& text);

}  // namespace standin
