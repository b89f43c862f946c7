#pragma once
// Other processes as a stand-in or a test sees them: which ones a process
// started, and stopping one where it runs.

#include <windows.h>

#include <vector>

namespace standin {

// The running processes whose image is `image` (compared without regard to
// case) and whose parent is the process parentId.
std::vector<DWORD> ChildProcessesNamed(DWORD parentId, const wchar_t* image);
// Suspends every thread of the process, as a debugger or a security product
// freezes it. False when its threads cannot be listed.
bool FreezeProcess(DWORD processId);

}  // namespace standin
