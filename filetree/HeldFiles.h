#pragma once
// How a tree operation meets a file that another program holds: a virus
// scanner or an indexer that opens a file for a moment, a program that keeps
// a library loaded. The operations of filetree/ take a HeldFiles where they
// may wait for such a file or move it out of the way; the update's own
// (exchange/FilesInUse.h) decides how long and where to.

#include <windows.h>

#include <functional>
#include <string>

// Sleeps for the given time; ::Sleep, or a test's own to see the pauses.
using Pause = std::function<void(DWORD milliseconds)>;

// The errors of a file that another program holds open or has loaded.
bool IsInUseError(DWORD error);

class HeldFiles {
public:
    // Calls attempt, which returns ERROR_SUCCESS or a Win32 error, again
    // while it fails with a file in use and there is time left for it. Its
    // last result.
    virtual DWORD Retry(const std::function<DWORD()>& attempt) = 0;
    // Moves the file at path out of the way, where it is only something to
    // delete. ERROR_SUCCESS or the error; a folder stays where it is.
    virtual DWORD MoveAside(const std::wstring& path) = 0;
    // Whether path is a file moved out of the way: in use until the program
    // that holds it ends, so that nothing waits for it.
    virtual bool IsAside(const std::wstring& path) const = 0;

protected:
    HeldFiles() = default;
    HeldFiles(const HeldFiles&) = default;
    HeldFiles& operator=(const HeldFiles&) = default;
    ~HeldFiles() = default;
};

// Runs one try of a file operation, and again while its file is in use when
// held is given. ERROR_SUCCESS or the last error.
template <typename Once>
DWORD TryWhileInUse(HeldFiles* held, Once once) {
    return held != nullptr ? held->Retry(once) : once();
}
