#pragma once
// The report a run makes of its own failure when no record keeper makes it:
// the line first, built and written without the heap (the code that failed may
// hold its lock), then the dump within the time given, then the end with the
// last-chance exit code. A dump that is not whole leaves no file; the line
// does not say so, having been written before.

#include <windows.h>

#include "base/Text.h"
#include "records/ReportHandOver.h"
#include "system/MiniDump.h"

// Where the dump of a failed run goes, beside ZelUnst.log.
inline constexpr wchar_t kDumpFileName[] = L"ZelUnst.dmp";

// The time left for the dump of a report that must end by `deadline` (a
// GetTickCount64 value), once its line and its end are allowed for; at most
// kDumpWaitMs, 0 when none is left.
DWORD DumpTimeLeft(ULONGLONG deadline);

// A crash, reported on a thread of its own (the faulting thread's stack may
// be spent): the line names the code and where it happened (the hand-over's
// exceptionCode and exceptionAddress), the dump (none for a dumpWaitMs of 0)
// names the faulting thread. A reporter that has not written the line within
// 2 s cannot start (its start needs the heap and the loader lock): the
// faulting thread writes the line itself, and there is no dump.
[[noreturn]] void ReportCrashFromInside(EXCEPTION_POINTERS* exception, DWORD dumpWaitMs);
// The crash of a thread that ended before it could report it, as the
// hand-over tells it: its line (a reporter it had started may be writing the
// dump: it is given the time for it), then the end.
[[noreturn]] void ReportCrashOfEndedThread();
// abort() leaves no dump: the run called it, nothing faulted.
[[noreturn]] void ReportAbortFromInside();

// The hang of the engine library's call on hungThread, found at limitSeconds:
// the thread is stopped where it hangs; if its call has returned by then, it
// is let go again (a suspension a keeper left on it included) and this
// returns false. Else EngineHangLine is logged, ZelUnst.dmp written within
// dumpWaitMs (none for 0) with that thread as the one that met the exception
// kHangExceptionCode where it hangs, and the run ended. The library's other
// threads run on until the end. `writer` must have been started: while the
// library's attach code runs, no new thread starts. Call with the hang look
// claimed (ReportClaim.h).
bool ReportHangFromInside(HANDLE hungThread, DWORD hungThreadId, DWORD limitSeconds, DumpWriter& writer,
                          DWORD dumpWaitMs);
// The thread that called the engine library ended inside `call`: its line,
// and the run's end. Call with the report claimed.
[[noreturn]] void ReportCallingThreadEnded(EngineCall call, DWORD exitStatus);

// Writes a report's line, once in the run: a second report's line, or the
// last resort's after a report's, is not written.
void WriteReportLine(const FixedText& line);
// The line of a crash the hand-over holds, unless a report wrote one: for
// the last resort, whose run's report did not end it.
void WriteCrashLineOnce();
// Whether a report has written its line.
bool ReportLineWritten();
