#pragma once
// Whole-file reads shared by the tool, the stand-ins and the tests.

#include <windows.h>

#include <optional>
#include <string>

// Every byte of the file, read while other processes may write, append to or
// delete it; nullopt when it cannot be opened.
std::optional<std::string> ReadWholeFile(const std::wstring& path);

// Whether both paths name the same file: two names of one file (hard links)
// or one name given twice. False when either cannot be opened.
bool SameFile(const std::wstring& a, const std::wstring& b);
// How many names (hard links) the file at path has; 0 when it cannot be opened.
DWORD NameCount(const std::wstring& path);
