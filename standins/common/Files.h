#pragma once
// Whole-file reads and one-write appends that tolerate other processes
// writing, appending or deleting the same file at the time.

#include <optional>
#include <string>

namespace standin {

// Every byte of the file; nullopt when it cannot be opened.
std::optional<std::string> ReadWholeFile(const std::wstring& path);

// Appends the line with one write to the end of the file, so lines of
// processes writing at the same time never mix. False when it cannot.
bool AppendLine(const std::wstring& path, const std::string& line);

}  // namespace standin
