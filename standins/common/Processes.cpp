#include "standins/common/Processes.h"

#include "system/Processes.h"

namespace standin {

std::vector<DWORD> ChildProcessesNamed(DWORD parentId, const wchar_t* image) {
    std::vector<DWORD> children;
    const std::optional<std::vector<RunningProcess>> processes = RunningProcesses();
    if (!processes) return children;
    for (const RunningProcess& process : *processes) {
        if (process.parentId == parentId && lstrcmpiW(process.image.c_str(), image) == 0) children.push_back(process.id);
    }
    return children;
}

}  // namespace standin
