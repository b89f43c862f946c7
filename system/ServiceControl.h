#pragma once
// Services, registry values and running processes of the products. None of
// these operations logs; their callers do.

#include <windows.h>

// 0 when "zelserv" is stopped; E_FAIL when it did not stop within the polls;
// otherwise the Win32 code of the open that failed (1060 when not installed).
DWORD ZelUnstall_StopServices();
// 0 with the state of "ruxserv" stored; E_FAIL otherwise, nothing stored.
HRESULT VMyQueryServicState(DWORD* state);
// 1 when no main program was found or opened; TerminateProcess's result when
// one was ended; 0 when the process list cannot be read.
int KillRUXMainProcess();
// 1 when "Start" = 3 was written under HKLM\serviceKey (never created), else 0.
int _SetServiceDemandStart(const wchar_t* serviceKey);
// Deletes HKCU\...\Run "RUXMain": 0, or the failing registry call's code.
LSTATUS _DeleteRunValue();
// The common program files folder (or "") in buffer (260 units); null for null.
wchar_t* _GetCommonFilesDir(wchar_t* buffer);
