#include "system/Services.h"

#include "base/Handles.h"
#include "system/Products.h"

namespace {

constexpr DWORD kStopAccess = GENERIC_READ | GENERIC_EXECUTE;                                        // 0xA0000000
constexpr DWORD kQueryManagerAccess = GENERIC_READ | GENERIC_EXECUTE | SC_MANAGER_ENUMERATE_SERVICE;  // 0xA0000004
constexpr DWORD kQueryServiceAccess = GENERIC_READ | GENERIC_EXECUTE | SERVICE_QUERY_STATUS;          // 0xA0000004

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

// What a state query of the product service saw. state is empty when the
// manager, the service or the query failed.
struct ProductServiceQuery {
    bool managerOpened = false;
    std::optional<DWORD> state;
};

// The service handle is closed before the manager handle.
ProductServiceQuery QueryProductService() {
    const ServiceHandle manager = OpenServiceManager(kQueryManagerAccess);
    if (!manager) return {};
    const ServiceHandle service = OpenNamedService(manager, products::kProductService, kQueryServiceAccess);
    if (!service) return {true, std::nullopt};
    return {true, CurrentState(service)};
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
    const ProductServiceQuery query = QueryProductService();
    if (!query.state) return E_FAIL;
    *state = *query.state;
    return S_OK;
}

ServiceLook LookAtProductService() {
    const ProductServiceQuery query = QueryProductService();
    if (!query.managerOpened) return ServiceLook::ManagerUnavailable;
    return query.state && *query.state == SERVICE_STOPPED ? ServiceLook::Stopped : ServiceLook::NotStopped;
}
