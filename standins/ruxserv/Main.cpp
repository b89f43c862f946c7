// Stand-in for the protection product's service program. Started by the
// service manager it runs as the service "ruxserv"; from a
// command line:
//   -install         registers the service "ruxserv" (own process, demand
//                    start) with this executable's quoted path
//   -installproduct  the product scan: records only
//   -start           starts the service
//   -stop            stops the service and waits for SERVICE_STOPPED, at most
//                    stop_wait_ms (30000 unless set)
// Each ends with the Win32 code of its work unless exit_code says otherwise.
#include "standins/common/CommandLineProgram.h"
#include "standins/common/ServiceControl.h"
#include "standins/common/ServiceHost.h"
#include "system/Products.h"

namespace {

constexpr DWORD kDefaultStopWaitMs = 30000;

DWORD Install(const standin::Invocation& invocation) {
    return standin::RegisterService(products::kProductService, L"\"" + invocation.self.exePath + L"\"");
}

DWORD Start(const standin::Invocation&) { return standin::StartServiceByName(products::kProductService); }

DWORD Stop(const standin::Invocation& invocation) {
    const DWORD waitMs = invocation.settings.Number(invocation.option, standin::kStopWaitMs, kDefaultStopWaitMs);
    return standin::StopServiceAndWait(products::kProductService, waitMs);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (standin::StartedByServiceManager() && standin::RunAsService(products::kProductService)) {
        return 0;
    }
    return standin::RunCommandLineProgram({{L"-install", 0, Install},
                                           {L"-installproduct", 0, nullptr},
                                           {L"-start", 0, Start},
                                           {L"-stop", 0, Stop}});
}
