#pragma once
// Service manager operations of the stand-ins, their installer and the tests:
// register, start, stop and remove an own-process service, and read its state.

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
// Stops it, waiting up to stopWaitMs (0: sends the stop and goes on), and
// deletes it; ERROR_SUCCESS when it is gone or marked for deletion.
DWORD RemoveService(const std::wstring& name, DWORD stopWaitMs);
// The current state (SERVICE_STOPPED ... SERVICE_PAUSED), 0 when unreadable
// (also once the service is gone).
DWORD QueryServiceState(const std::wstring& name);
// Polls until QueryServiceState gives state (0 waits for the service to be
// gone); false when it does not within timeoutMs.
bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs);
const char* ServiceStateName(DWORD state);

}  // namespace standin
