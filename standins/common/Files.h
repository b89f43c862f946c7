#pragma once
// One-write appends that tolerate other processes writing, appending or
// deleting the same file at the time. Whole-file reads: base/Files.h.

#include <string>

namespace standin {

// Appends the line with one write to the end of the file, one writer at a
// time, so lines of processes writing at the same time never mix or get lost.
// False when it cannot.
bool AppendLine(const std::wstring& path, const std::string& line);

}  // namespace standin
