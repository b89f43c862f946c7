#pragma once
// Path helpers shared by the tool, the stand-ins, the tests and the benchmark.

#include <windows.h>

#include <string>
#include <vector>

// The longest path the \\?\ form allows, in characters with the terminator.
constexpr DWORD kLongestPath = 32768;

// Full path of a loaded module (the running executable for null), however
// long it is; empty when it cannot be read.
std::wstring ModulePath(HMODULE module = nullptr);

// The form of path to hand to the Win32 file calls: unchanged while it is
// short, the \\?\ form (full path, \\?\UNC\ for shares) once it nears MAX_PATH.
std::wstring LongPathForm(const std::wstring& path);

// Makes path a folder, creating every missing folder above it first. created,
// when given, gets each folder made here, parents first. True when path is a
// folder afterwards.
bool CreateDirectoryChain(const std::wstring& path, LPSECURITY_ATTRIBUTES securityAttributes = nullptr,
                          std::vector<std::wstring>* created = nullptr);
