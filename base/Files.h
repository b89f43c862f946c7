#pragma once
// Whole-file reads shared by the tool, the stand-ins and the tests.

#include <optional>
#include <string>

// Every byte of the file, read while other processes may write, append to or
// delete it; nullopt when it cannot be opened.
std::optional<std::string> ReadWholeFile(const std::wstring& path);
