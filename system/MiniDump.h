#pragma once
// A small crash dump of the running process, for a developer to read with the
// shipped file's symbols. It does not log; its caller does.

#include <windows.h>

// Writes a dump of this process to path (replacing an older file): every
// thread with its stack, the module list and the exception that thread
// threadId met; the calling thread's stack is left out when it is another
// one. No heap memory goes into it. dbghelp.dll is loaded from the
// system folder for this call only. S_OK, or the failure's HRESULT.
HRESULT WriteMiniDump(const wchar_t* path, EXCEPTION_POINTERS* exception, DWORD threadId);
