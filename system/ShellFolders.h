#pragma once
// Shell folders. These operations do not log; their callers do.

#include <windows.h>

// Copies the common program files folder, without a trailing backslash, into
// buffer (260 units) and returns buffer; the empty string when the library,
// its function or the folder is unavailable. Null when buffer is null.
wchar_t* _GetCommonFilesDir(wchar_t* buffer);
