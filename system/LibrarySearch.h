#pragma once
// Where the libraries the tool loads come from: the tool's own folder and the
// system folder, never PATH or the current folder, where any user may have
// planted one to run with the tool's rights.

#include <windows.h>

#include "base/Handles.h"

// Library loads that name no full path search the tool's own folder and the
// system folder only, never PATH or the current folder. False where the
// system lacks the call (Windows 7 without KB2533623).
bool RestrictLibrarySearch();

// Loads fileName from the system folder only, never from the tool's own
// folder or the current directory, where a planted copy could lie. An empty
// Library when it cannot be loaded.
Library LoadSystemLibrary(const wchar_t* fileName);

// A function of a system library that every process has loaded (kernel32.dll
// unless told otherwise) looked up, not imported: the exe must still start
// where the call is missing. Null then.
template <typename Function>
Function Kernel32Function(const char* name, const wchar_t* library = L"kernel32.dll") {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(library), name)));
}
