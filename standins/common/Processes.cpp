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

}  // namespace standin
