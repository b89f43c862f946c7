#pragma once
// The report a run makes of its own failure when no record keeper makes it:
// the dump first, so that the line can say when there is none, then the line,
// then the end with the last-chance exit code. As far as the locks the failing
// code holds let it.

#include <windows.h>

#include "system/MiniDump.h"

// Where the dump of a failed run goes, beside ZelUnst.log.
inline constexpr wchar_t kDumpFileName[] = L"ZelUnst.dmp";

// A crash, reported on a thread of its own (the faulting thread's stack may
// be spent): the line names the code and where it happened, and the dump
// names the faulting thread.
[[noreturn]] void ReportCrashFromInside(EXCEPTION_POINTERS* exception);
// abort() leaves no dump: the run called it, nothing faulted.
[[noreturn]] void ReportAbortFromInside();

// Ends the run whose thread hungThread has not come back from the engine
// library's call within limitSeconds, by the road a crash takes: the thread
// stopped where it hangs, ZelUnst.dmp written beside the run log with that
// thread as the one that met the exception kHangExceptionCode at the place it
// hangs (given up after kDumpWaitMs, leaving no file), the unfinished log line
// dropped, EngineHangLine logged with "; no dump written" when there is no
// dump, and the process ended with the last-chance exit code. The library's
// other threads run on until the end. Returns, the thread let go again, when
// the call has returned by the time the thread is stopped. `writer` must be
// ready: while the library's attach code runs, no new thread starts. Should a
// crash be reported at the same time, that report ends the run and this one
// waits.
void ReportHangInProcess(HANDLE hungThread, DWORD hungThreadId, DWORD limitSeconds, DumpWriter& writer);
