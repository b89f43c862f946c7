#pragma once
// Running processes of the products. The operation does not log; its caller
// does.

#include <windows.h>
#include <shlwapi.h>

#include <optional>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "system/Products.h"

// Ends the first "ruxmain.exe" the process list shows that can be opened,
// with exit code 0. 1 when none was found or opened; TerminateProcess's
// result when one was ended; 0 when the process list cannot be read.
int KillRUXMainProcess();

// Which running process is the protection product's main program, and which
// one of several gets ended, apart from the process list and OpenProcess.
struct RunningProcess {
    DWORD id = 0;
    std::wstring image;  // file name of the executable, as the process list gives it
    DWORD parentId = 0;  // the process that started it (its id may since have been reused)
};

// The process list as it stands now; nothing when it cannot be read.
std::optional<std::vector<RunningProcess>> RunningProcesses();

// The whole image name, compared without regard to case.
inline bool IsMainProgramImage(const std::wstring& image) {
    return StrCmpIW(image.c_str(), products::kMainProgram) == 0;
}

// tryEnd(id) ends one process: nothing when it could not be opened, else
// TerminateProcess's result. The first main program in list order that can
// be opened is ended and its result returned; the others stay running.
// 1 when none was ended.
template <typename TryEnd>
int EndFirstMainProgram(const std::vector<RunningProcess>& processes, TryEnd tryEnd) {
    for (const RunningProcess& process : processes) {
        if (!IsMainProgramImage(process.image)) continue;
        const std::optional<BOOL> ended = tryEnd(process.id);
        if (ended) return *ended;
    }
    return 1;
}

// Suspends every thread of the process but the calling one, as a debugger
// or a security product freezes a process; the handles of those suspended,
// to resume them. Nothing is allocated once the first thread is suspended:
// it may hold the heap's lock.
std::vector<KernelHandle> SuspendThreadsOf(DWORD processId);
