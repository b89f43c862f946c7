#pragma once
// What the entry function sets up before anything else runs: where libraries
// may come from, and the last-chance handling that ends a run whose code, or
// code it loaded, crashed, overflowed its stack or aborted.

#include <windows.h>

#include <cstdint>
#include <string>

// Library loads that name no full path search the tool's own folder and the
// system folder only, never PATH or the current folder. False where the
// system lacks the call (Windows 7 without KB2533623).
bool RestrictLibrarySearch();

// Installs the process-wide unhandled-exception filter (any thread, no system
// dialog) and the C runtime's abort handling (its message goes to stderr, never
// to a box). Either drops the unfinished log line, logs one line, and ends the
// process at once with the last-chance exit code; an exception also leaves
// ZelUnst.dmp beside the run log. A fail-fast, which no handler sees, gets no
// Error Reporting window (WerSetFlags). The process error mode, which child
// processes inherit, is not touched.
void InstallLastChanceHandlers();

// The exit code of a run that ends through the last-chance handling: the
// failure code of the operation that runs. -1 until one is chosen.
void SetLastChanceExitCode(int exitCode);

// "Unhandled exception 0xC0000005 at zeldecs.dll+0x162B"; an address in no
// module reads "?+0x<address>".
std::wstring UnhandledExceptionLine(DWORD code, const wchar_t* moduleName, std::uintptr_t offset);
