#pragma once
// The lines that end a run which failed: a crash, an abort, a hang of the
// engine's library, an end without either report. The run writes them itself,
// or its record keeper writes them for it. Each is built in room of its own,
// without the heap (FixedText): the run's own report may be made while the
// code that failed holds the heap's lock.

#include <windows.h>

#include <cstdint>

#include "base/Text.h"

// "Unhandled exception 0xC0000005 at zeldecs.dll+0x162B"; an address in no
// module reads "?+0x<address>".
FixedText UnhandledExceptionLine(DWORD code, const wchar_t* moduleName, std::uintptr_t offset);
// "The engine library has not returned from Install within 900 s".
FixedText EngineHangLine(const wchar_t* call, DWORD limitSeconds);
// "The thread that called the engine library ended inside Install, with exit
// status 0x00000007": the thread ended without returning from the call.
FixedText CallingThreadEndedLine(const wchar_t* call, DWORD exitStatus);
// A report's line once its dump could not be written.
FixedText WithoutDump(const FixedText& line);
// A run the report of whose hang had not ended it by the last resort's time:
// "The report did not end within 40 s of the limit; the run is ended".
FixedText ReportOverdueLine(DWORD budgetSeconds);
// A run whose report of a failure had not ended it by the last resort's time:
// "The report of a failure did not end within 40 s; the run is ended".
FixedText FailureReportOverdueLine(DWORD budgetSeconds);
// A run that had not ended by the last resort's time, its engine library's
// last call long returned: "The run did not end within 50 s of the engine
// library's last call; it is ended".
FixedText RunEndOverdueLine(DWORD budgetSeconds);
// A run whose process some code ended with ExitProcess (or the C runtime's
// exit), which the tool itself never calls: "The process was ended by
// ExitProcess inside Install, before the run finished", or without " inside
// ..." outside the engine library's calls.
FixedText ExitProcessLine(const wchar_t* call);
// What the keeper logs for a run that ended without its report and without
// its normal end: "The run ended without finishing, with exit status
// 0xC0000409 (a fail-fast: ...)".
FixedText UnfinishedRunLine(DWORD exitStatus);
// The line of a run that abort() ended.
inline constexpr wchar_t kAbortLine[] = L"Abnormal termination";
