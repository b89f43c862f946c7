#pragma once
// Helpers for tests that run under Wine: files, processes, registry and
// services, all through the real Win32 calls.

#include <windows.h>

#include <string>
#include <vector>

namespace zeltest {

// The build's bin folder (zelunst.exe, stand-ins), from ZEL_BIN_DIR.
std::wstring BinDir();
// A fresh, empty folder C:\zt\<name> (removed first when it exists).
std::wstring FreshDir(const std::wstring& name);

bool FileExists(const std::wstring& path);
bool DirExists(const std::wstring& path);
std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
// Creates the file's folders first.
void WriteText(const std::wstring& path, const std::string& text);
void CopyFromBin(const std::wstring& fileName, const std::wstring& targetPath);
// Deletes a folder tree (test clean-up; follows nothing, ignores failures).
void RemoveTree(const std::wstring& path);
void MakeDirs(const std::wstring& path);

struct ProcessResult {
    bool started = false;
    DWORD exitCode = 0;
    bool timedOut = false;
    std::string output;  // what the process wrote to its stdout and stderr
};
// Starts a command line with its stdout and stderr going to a file, waits.
ProcessResult RunCommand(const std::wstring& commandLine, const std::wstring& currentDir = L"",
                  DWORD timeoutMs = 120000);

// The run log's lines beside the tool, each without its CR LF; with
// stripPrefix the "YYYY-MM-DD HH:MM:SS | " prefix is cut from the start.
std::vector<std::string> LogLines(const std::wstring& dir, bool stripPrefix = true);

// Registry.
void SetRegString(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& value,
                  DWORD type = REG_SZ);
void SetRegDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD value);
bool RegValueExists(HKEY root, const std::wstring& key, const std::wstring& name);
bool RegKeyExists(HKEY root, const std::wstring& key);
DWORD RegDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD fallback = 0xFFFFFFFF);
void DeleteRegTree(HKEY root, const std::wstring& key);

// Services (own-process, demand start).
bool CreateTestService(const std::wstring& name, const std::wstring& binaryPathName);
void RemoveTestService(const std::wstring& name);  // stops it first when running
bool StartTestService(const std::wstring& name);
DWORD ServiceState(const std::wstring& name);  // 0 when it cannot be read
bool WaitServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs);

std::string Narrow(const std::wstring& text);  // UTF-8
std::wstring Widen(const std::string& text);   // from UTF-8

// --- Shared by the system, file tree, launcher, loader and log tests. ---
// Folder of the running test program (its run log lies there).
std::wstring TestProgramFolder();
// A text file's lines, each without its CR LF.
std::vector<std::string> FileLines(const std::wstring& path);
// The text with every "YYYY-MM-DD HH:MM:SS | " stamp replaced by "<P>".
std::string MarkStamps(const std::string& text);
// Runs "<dir>\zelunst.exe" with the arguments and waits.
ProcessResult RunToolIn(const std::wstring& dir, const std::wstring& arguments, const std::wstring& currentDir = L"");

}  // namespace zeltest
