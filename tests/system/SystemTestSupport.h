#pragma once
// Small helpers shared by the system operation tests.

#include <windows.h>

#include <string>
#include <vector>

namespace systest {

// Folder of the running test program (the run log lies there, and it is the
// current directory children inherit).
std::wstring OwnFolder();
std::wstring CurrentDir();
// Copies a stand-in from the bin folder to `target` (folders created).
std::wstring PlaceStandIn(const std::wstring& standIn, const std::wstring& target);
// Whether the log line starts with "YYYY-MM-DD HH:MM:SS | " and, when so,
// the rest of the line.
bool CutPrefix(const std::string& line, std::string& rest);
// Starts an executable by plain CreateProcessW (not by the code under test).
HANDLE StartProgram(const std::wstring& exePath);
bool IsRunning(DWORD processId);
void EndProcessById(DWORD processId);
// Process ids of running processes with this image name, in list order.
std::vector<DWORD> ProcessesNamed(const std::wstring& image);
double SecondsSince(ULONGLONG startTick);

}  // namespace systest
