#pragma once
// What the entry function sets up before anything else runs: where libraries
// may come from, and the last-chance handling that ends a run whose code, or
// code it loaded, crashed, overflowed its stack or aborted.

#include <windows.h>

#include <cstdint>
#include <string>

#include "system/MiniDump.h"

// Library loads that name no full path search the tool's own folder and the
// system folder only, never PATH or the current folder. False where the
// system lacks the call (Windows 7 without KB2533623).
bool RestrictLibrarySearch();

// Installs the process-wide unhandled-exception filter (any thread, no system
// dialog) and the C runtime's abort handling (its message goes to stderr, never
// to a box). Either drops the unfinished log line, logs one line, and ends the
// process at once with the last-chance exit code; an exception is reported as
// ReportHangAndEnd reports a hang, with a dump. A fail-fast, which no handler
// sees, gets no Error Reporting window (WerSetFlags). The process error mode,
// which child processes inherit, is not touched.
void InstallLastChanceHandlers();

// Ends the run whose thread hungThread has not come back from the engine
// library's `call` within limitSeconds, by the road a crash takes: the thread
// stopped where it hangs, ZelUnst.dmp written beside the run log with that
// thread as the one that met the exception kHangExceptionCode at the place it
// hangs (given up after kDumpWaitMs, leaving no file), the unfinished log line
// dropped, EngineHangLine logged with "; no dump written" when there is no
// dump, and the process ended with the last-chance exit code; nothing of the
// library runs any more. `writer` must be ready: while the library's attach
// code runs, no new thread starts. Should a crash be reported at the same
// time, that report ends the run and this one waits.
[[noreturn]] void ReportHangAndEnd(HANDLE hungThread, DWORD hungThreadId, const wchar_t* call, DWORD limitSeconds,
                                   DumpWriter& writer);

// The exit code of a run that ends through the last-chance handling: the
// failure code of the operation that runs. -1 until one is chosen.
void SetLastChanceExitCode(int exitCode);

// "Unhandled exception 0xC0000005 at zeldecs.dll+0x162B"; an address in no
// module reads "?+0x<address>".
std::wstring UnhandledExceptionLine(DWORD code, const wchar_t* moduleName, std::uintptr_t offset);
// "The engine library has not returned from Install within 900 s".
std::wstring EngineHangLine(const wchar_t* call, DWORD limitSeconds);
