#include "system/ServiceControl.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include <optional>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "system/MainProgram.h"
#include "system/Products.h"
#include "system/ServiceStop.h"

namespace {

constexpr DWORD kStopAccess = GENERIC_READ | GENERIC_EXECUTE;                                 // 0xA0000000
constexpr DWORD kQueryManagerAccess = GENERIC_READ | GENERIC_EXECUTE | SC_MANAGER_ENUMERATE_SERVICE;  // 0xA0000004
constexpr DWORD kQueryServiceAccess = GENERIC_READ | GENERIC_EXECUTE | SERVICE_QUERY_STATUS;          // 0xA0000004
// PROCESS_ALL_ACCESS as headers before Windows Vista define it; it includes SYNCHRONIZE.
constexpr DWORD kEndProcessAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF;  // 0x001F0FFF
// How long an ended main program may take to be gone before its handle is closed.
constexpr DWORD kEndedProcessGoneWaitMs = 5000;

ServiceHandle OpenServiceManager(DWORD access) { return ServiceHandle(OpenSCManagerW(nullptr, nullptr, access)); }

ServiceHandle OpenNamedService(const ServiceHandle& manager, const wchar_t* name, DWORD access) {
    return ServiceHandle(OpenServiceW(manager.Get(), name, access));
}

std::optional<DWORD> CurrentState(const ServiceHandle& service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.Get(), &status)) return std::nullopt;
    return status.dwCurrentState;
}

void SendStopControl(const ServiceHandle& service) {
    SERVICE_STATUS status{};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
}

// Nothing when the process list cannot be read.
std::optional<std::vector<RunningProcess>> RunningProcesses() {
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return std::nullopt;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.Get(), &entry)) return std::nullopt;
    std::vector<RunningProcess> processes;
    do {
        processes.push_back({entry.th32ProcessID, entry.szExeFile});
    } while (Process32NextW(snapshot.Get(), &entry));
    return processes;
}

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

using SHGetFolderPathWFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);

// Loads a DLL from the system folder only, never from the tool's own folder
// or the current directory, where a planted copy could lie.
Library LoadSystemLibrary(const wchar_t* fileName) {
    wchar_t systemDir[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return Library();
    const std::wstring path = std::wstring(systemDir, length) + L'\\' + fileName;
    return Library(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

}  // namespace

DWORD ZelUnstall_StopServices() {
    const ServiceHandle manager = OpenServiceManager(kStopAccess);
    if (!manager) return GetLastError();
    const ServiceHandle service = OpenNamedService(manager, products::kEngineService, kStopAccess);
    if (!service) return GetLastError();
    return StopAndWaitForStopped([&service] { return CurrentState(service); },
                                 [&service] { SendStopControl(service); }, [](DWORD ms) { Sleep(ms); });
}

HRESULT VMyQueryServicState(DWORD* state) {
    if (state == nullptr) return E_FAIL;
    const ServiceHandle manager = OpenServiceManager(kQueryManagerAccess);
    if (!manager) return E_FAIL;
    const ServiceHandle service = OpenNamedService(manager, products::kProductService, kQueryServiceAccess);
    if (!service) return E_FAIL;
    const std::optional<DWORD> current = CurrentState(service);
    if (!current) return E_FAIL;
    *state = *current;
    return S_OK;
}

int KillRUXMainProcess() {
    const std::optional<std::vector<RunningProcess>> processes = RunningProcesses();
    if (!processes) return 0;
    return EndFirstMainProgram(*processes, EndProcess);
}

int _SetServiceDemandStart(const wchar_t* serviceKey) {
    // A null or empty key path would open HKEY_LOCAL_MACHINE itself.
    if (serviceKey == nullptr || serviceKey[0] == L'\0') return 0;
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, serviceKey, 0, KEY_ALL_ACCESS, key.Put()) != ERROR_SUCCESS) return 0;
    const DWORD demandStart = SERVICE_DEMAND_START;
    const LSTATUS written = RegSetValueExW(key.Get(), products::kServiceStartValue, 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&demandStart), sizeof(demandStart));
    return written == ERROR_SUCCESS ? 1 : 0;
}

LSTATUS _DeleteRunValue() {
    RegKey key;
    const LSTATUS opened = RegOpenKeyExW(HKEY_CURRENT_USER, products::kRunKey, 0, KEY_ALL_ACCESS, key.Put());
    if (opened != ERROR_SUCCESS) return opened;
    return RegDeleteValueW(key.Get(), products::kRunValue);
}

wchar_t* _GetCommonFilesDir(wchar_t* buffer) {
    wchar_t folder[MAX_PATH] = {};
    {
        const Library shfolder = LoadSystemLibrary(products::kCommonFilesLibrary);
        const FARPROC function = shfolder ? GetProcAddress(shfolder.Get(), "SHGetFolderPathW") : nullptr;
        if (function != nullptr) {
            const auto getFolderPath =
                reinterpret_cast<SHGetFolderPathWFunction>(reinterpret_cast<void (*)()>(function));
            getFolderPath(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, SHGFP_TYPE_CURRENT, folder);
            folder[MAX_PATH - 1] = L'\0';
        }
    }
    if (buffer == nullptr) return nullptr;
    wcscpy_s(buffer, MAX_PATH, folder);
    return buffer;
}
