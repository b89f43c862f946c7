#include "standins/common/Processes.h"

#include <tlhelp32.h>

#include "base/Handles.h"

namespace standin {

std::vector<DWORD> ChildProcessesNamed(DWORD parentId, const wchar_t* image) {
    std::vector<DWORD> children;
    const FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ParentProcessID == parentId && lstrcmpiW(entry.szExeFile, image) == 0) {
            children.push_back(entry.th32ProcessID);
        }
    }
    return children;
}

bool FreezeProcess(DWORD processId) {
    const FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return false;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry)) {
        if (entry.th32OwnerProcessID != processId) continue;
        const KernelHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
        if (thread) SuspendThread(thread.Get());
    }
    return true;
}

}  // namespace standin
