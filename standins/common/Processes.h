#pragma once
// Other processes as a stand-in or a test sees them: which ones a process
// started.

#include <windows.h>

#include <vector>

namespace standin {

// The running processes whose image is `image` (compared without regard to
// case) and whose parent is the process parentId.
std::vector<DWORD> ChildProcessesNamed(DWORD parentId, const wchar_t* image);

}  // namespace standin
