#pragma once
// Shell folders and the system libraries that tell them. These operations do
// not log; their callers do.

#include <windows.h>

#include "base/Handles.h"

// Copies the common program files folder, without a trailing backslash, into
// buffer (260 units) and returns buffer; the empty string when the library,
// its function or the folder is unavailable. Null when buffer is null.
wchar_t* _GetCommonFilesDir(wchar_t* buffer);

// Loads fileName from the system folder only, never from the tool's own
// folder or the current directory, where a planted copy could lie. An empty
// Library when it cannot be loaded.
Library LoadSystemLibrary(const wchar_t* fileName);
