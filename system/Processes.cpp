#include "system/Processes.h"

#include <tlhelp32.h>

#include "base/Handles.h"

namespace {

// PROCESS_ALL_ACCESS as headers before Windows Vista define it; it includes SYNCHRONIZE.
constexpr DWORD kEndProcessAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF;  // 0x001F0FFF
// How long an ended main program may take to be gone before its handle is closed.
constexpr DWORD kEndedProcessGoneWaitMs = 5000;

// Nothing when the process cannot be opened; else TerminateProcess's result.
// An ended process is waited for (bounded) so that its files are free when
// this returns; the wait does not change the result.
std::optional<BOOL> EndProcess(DWORD processId) {
    KernelHandle process(OpenProcess(kEndProcessAccess, FALSE, processId));
    if (!process) return std::nullopt;
    const BOOL ended = TerminateProcess(process.Get(), 0);
    if (ended) WaitForSingleObject(process.Get(), kEndedProcessGoneWaitMs);
    return ended;
}

}  // namespace

std::optional<std::vector<RunningProcess>> RunningProcesses() {
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return std::nullopt;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.Get(), &entry)) return std::nullopt;
    std::vector<RunningProcess> processes;
    do {
        processes.push_back({entry.th32ProcessID, entry.szExeFile, entry.th32ParentProcessID});
    } while (Process32NextW(snapshot.Get(), &entry));
    return processes;
}

int KillRUXMainProcess() {
    const std::optional<std::vector<RunningProcess>> processes = RunningProcesses();
    if (!processes) return 0;
    return EndFirstMainProgram(*processes, EndProcess);
}

std::vector<KernelHandle> SuspendThreadsOf(DWORD processId) {
    std::vector<KernelHandle> suspended;
    const FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return suspended;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    size_t threads = 0;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) ++threads;
    }
    suspended.reserve(threads);
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry)) {
        if (entry.th32OwnerProcessID != processId || entry.th32ThreadID == GetCurrentThreadId()) continue;
        KernelHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
        // Within the room reserved: the snapshot lists the same threads again.
        if (thread && SuspendThread(thread.Get()) != static_cast<DWORD>(-1)) suspended.push_back(std::move(thread));
    }
    return suspended;
}
