#pragma once
// The tool's printed messages (the usage text, the solution loader's
// messages): written straight to the process's standard output handle, the
// parent's console or whatever the parent redirected it to, never through the
// C runtime's streams. A library shares those streams with the tool, and a
// thread of it may hold a stream's lock for good (one that prints into a pipe
// that nobody reads): the tool's output and its end never wait on that lock.

#include <string>

// Writes the text at once, each "\n" as CR LF: to a console as UTF-16, to a
// file or pipe in the console's output code page (the system's ANSI code page
// without a console). Nothing when there is no standard output handle.
void PrintText(const std::wstring& text);
