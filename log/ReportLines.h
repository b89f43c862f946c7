#pragma once
// The lines that end a run which failed: a crash, an abort, a hang of the
// engine's library, or an end without either report. The run writes them
// itself or its record keeper writes them for it.

#include <windows.h>

#include <cstdint>
#include <string>

// "Unhandled exception 0xC0000005 at zeldecs.dll+0x162B"; an address in no
// module reads "?+0x<address>".
std::wstring UnhandledExceptionLine(DWORD code, const wchar_t* moduleName, std::uintptr_t offset);
// "The engine library has not returned from Install within 900 s".
std::wstring EngineHangLine(const wchar_t* call, DWORD limitSeconds);
// The line that ends a report whose dump could not be written.
std::wstring WithoutDump(const std::wstring& line);
// What the keeper logs for a run that ended without its report and without
// its normal end: "The run ended without finishing, with exit status
// 0xC0000409 (a fail-fast: ...)".
std::wstring UnfinishedRunLine(DWORD exitStatus);
// The line of a run that abort() ended.
inline constexpr wchar_t kAbortLine[] = L"Abnormal termination";
