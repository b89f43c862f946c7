#include "standins/common/ServiceControl.h"

#include "base/Handles.h"

namespace standin {

namespace {

ServiceHandle OpenManager(DWORD access) { return ServiceHandle(OpenSCManagerW(nullptr, nullptr, access)); }

bool WaitForStopped(SC_HANDLE service, DWORD waitMs) {
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    for (;;) {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(100);
    }
}

}  // namespace

DWORD RegisterService(const std::wstring& name, const std::wstring& binaryPathName) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (!manager) return GetLastError();
    ServiceHandle service(CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         binaryPathName.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_EXISTS) return error;
    service.Reset(OpenServiceW(manager.Get(), name.c_str(), SERVICE_CHANGE_CONFIG));
    if (!service) return GetLastError();
    if (!ChangeServiceConfigW(service.Get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              binaryPathName.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD StartServiceByName(const std::wstring& name) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager) return GetLastError();
    ServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_START));
    if (!service) return GetLastError();
    if (StartServiceW(service.Get(), 0, nullptr)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error == ERROR_SERVICE_ALREADY_RUNNING ? ERROR_SUCCESS : error;
}

DWORD StopServiceAndWait(const std::wstring& name, DWORD waitMs) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager) return GetLastError();
    ServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return GetLastError();
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == SERVICE_STOPPED) return ERROR_SUCCESS;
    if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE) return ERROR_SUCCESS;
        // A stop already under way is waited for like our own.
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return error;
    }
    return WaitForStopped(service.Get(), waitMs) ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

DWORD RemoveService(const std::wstring& name, DWORD stopWaitMs) {
    StopServiceAndWait(name, stopWaitMs);
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager) return GetLastError();
    ServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), DELETE));
    if (!service) {
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SUCCESS : error;
    }
    if (DeleteService(service.Get())) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error == ERROR_SERVICE_MARKED_FOR_DELETE ? ERROR_SUCCESS : error;
}

DWORD QueryServiceState(const std::wstring& name) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager) return 0;
    ServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.Get(), &status)) return 0;
    return status.dwCurrentState;
}

bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (QueryServiceState(name) != state) {
        if (GetTickCount64() > deadline) return false;
        Sleep(50);
    }
    return true;
}

const char* ServiceStateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "STOPPED";
        case SERVICE_START_PENDING: return "START_PENDING";
        case SERVICE_STOP_PENDING: return "STOP_PENDING";
        case SERVICE_RUNNING: return "RUNNING";
        case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
        case SERVICE_PAUSED: return "PAUSED";
        default: return "UNKNOWN";
    }
}

}  // namespace standin
