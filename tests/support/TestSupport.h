#pragma once
// Helpers for tests that run under Wine: files, processes, the run log and the
// registry, all through the real Win32 calls. Folders, text and services go
// through the helpers the tool and the stand-ins use: base/Paths.h
// (CreateDirectoryChain, ModulePath), base/Text.h (ToUtf8, FromUtf8) and
// standins/common/ServiceControl.h.

#include <windows.h>

#include <string>
#include <vector>

#include "base/Paths.h"
#include "base/Text.h"
#include "standins/common/ServiceControl.h"

namespace zeltest {

// The build's bin folder (zelunst.exe, stand-ins), from ZEL_BIN_DIR.
std::wstring BinDir();
// A fresh, empty folder C:\zt\<name> (removed first when it exists).
std::wstring FreshDir(const std::wstring& name);

bool FileExists(const std::wstring& path);
bool DirExists(const std::wstring& path);
// Every byte of the file; empty when it cannot be opened.
std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
// Creates the file's folders first.
void WriteText(const std::wstring& path, const std::string& text);
// Copies a file of the bin folder; creates the target's folders first.
void CopyFromBin(const std::wstring& fileName, const std::wstring& targetPath);
// Deletes a folder tree (test clean-up; follows nothing, ignores failures).
void RemoveTree(const std::wstring& path);

struct ProcessResult {
    bool started = false;
    DWORD exitCode = 0;
    bool timedOut = false;
    std::string output;  // what the process wrote to its stdout and stderr
    DWORD processId = 0;
    // RunToolIn: a run of the tool that this run started (its record keeper)
    // was still running when this run ended; it was waited for.
    bool outlivedByAToolRun = false;
    // RunToolTreatingItsKeeper: how the run's record keeper ended; STILL_ACTIVE
    // when the run started none.
    DWORD keeperExitCode = STILL_ACTIVE;
    // RunToolTreatingItsKeeper: the file it was to end the keeper on appeared.
    bool keeperEndedOnCue = false;
};
// Starts a command line with its stdout and stderr going to a file, waits.
ProcessResult RunCommand(const std::wstring& commandLine, const std::wstring& currentDir = L"",
                  DWORD timeoutMs = 120000);

// Registry.
void SetRegString(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& value,
                  DWORD type = REG_SZ);
void SetRegDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD value);
bool RegValueExists(HKEY root, const std::wstring& key, const std::wstring& name);
bool RegKeyExists(HKEY root, const std::wstring& key);
DWORD RegDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD fallback = 0xFFFFFFFF);
// The administrators' limit on the engine library, in seconds: the policy
// value EngineCallTimeout under HKLM\SOFTWARE\Policies\Ostiga\zelunst.
void SetEngineCallTimeoutPolicy(DWORD seconds);
void DeleteRegTree(HKEY root, const std::wstring& key);

// --- Shared by the system, file tree, launcher, loader and log tests. ---
// Folder of the running test program (its run log lies there).
std::wstring TestProgramFolder();
// A text file's lines, each without its CR LF.
std::vector<std::string> FileLines(const std::wstring& path);
// The text with every "YYYY-MM-DD HH:MM:SS | " stamp replaced by "<P>".
std::string MarkStamps(const std::string& text);
// The text with every "process <digits>" (a second run's mark on its lines,
// and the update's lines about its engine install) as "process <pid>".
std::string MarkProcessIds(const std::string& text);

// The run log of a tool (or a test program) in dir: dir\ZelUnst.log.
std::wstring RunLogPath(const std::wstring& dir);
// The run log's lines, each without its CR LF; with stripPrefix the
// "YYYY-MM-DD HH:MM:SS | " stamp is cut from the start of each line. The one
// reader of the run log: the views below are built on it.
std::vector<std::string> LogLines(const std::wstring& dir, bool stripPrefix = true);
// Every stamp shown as "<P>", the leading one and those inside a line.
std::vector<std::string> MarkedLogLines(const std::wstring& dir);
// No stamps: the leading one cut, and the one a child start line carries after
// "_DoCreateProcess : " or "strCurrentDirectory : ".
std::vector<std::string> UnstampedLogLines(const std::wstring& dir);

// Puts zelunst.exe from the bin folder into dir (created when missing) and,
// when solutionLibrary names a file of the bin folder, that file as its
// solution library subsystem\zelde\zeldecs.dll. The tool's path.
std::wstring PlaceTool(const std::wstring& dir, const std::wstring& solutionLibrary = L"");
// Runs "<dir>\zelunst.exe" with the arguments and waits (RunCommand), then
// waits up to 10 s for the runs of the tool it started: a record keeper
// writes its last line just after the run has ended.
ProcessResult RunToolIn(const std::wstring& dir, const std::wstring& arguments, const std::wstring& currentDir = L"",
                        DWORD timeoutMs = 120000);
// RunToolIn with the run's stdout and stderr going into a pipe of 4 KB that
// is read only once the run and its keeper have ended, as a caller that reads
// a child's output at its end does; output is what the pipe then holds.
ProcessResult RunToolIntoUnreadPipe(const std::wstring& dir, const std::wstring& arguments, DWORD timeoutMs);
// What a test does to the record keeper of a run of the tool.
struct KeeperTreatment {
    bool holdAtStart = false;         // its first thread held where it starts: it never gets ready
    std::wstring endOnceThisExists;   // ended (exit code 1) once this file exists
};
// Runs "<dir>\zelunst.exe" with the arguments as its debugger until the run
// starts its record keeper, treats the keeper as asked, lets both go and
// waits up to timeoutMs for the run (then ended with exit code 1) and 10 s
// more for the keeper. No output is captured.
ProcessResult RunToolTreatingItsKeeper(const std::wstring& dir, const std::wstring& arguments, DWORD timeoutMs,
                                       const KeeperTreatment& treatment);

// Points the test program's own import of function from dll (as its import
// table names them, e.g. "KERNEL32.dll") at replacement while the object
// lives, so that every call the program's code makes goes there: a seam for
// what no parameter reaches. Valid() is false when there is no such import.
class ImportPatch {
public:
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    bool Valid() const { return slot_ != nullptr; }
    // The function the import named before.
    void* Original() const { return original_; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

}  // namespace zeltest
