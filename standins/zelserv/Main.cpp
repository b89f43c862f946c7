// Stand-in for the engine's service program. Started by the service manager it
// runs as the service "zelserv"; from a command line
// it answers "/uninstall_product 0x000A0000", "/can_uninstall_framework" and
// "/uninstall". "/can_uninstall_framework" ends with 1 (the framework may be
// removed) unless exit_code says otherwise.
#include "standins/common/CommandLineProgram.h"
#include "standins/common/ServiceHost.h"
#include "system/Products.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (standin::StartedByServiceManager() && standin::RunAsService(products::kEngineService)) {
        return 0;
    }
    return standin::RunCommandLineProgram({{L"/uninstall_product", 0, nullptr},
                                           {L"/can_uninstall_framework", 1, nullptr},
                                           {L"/uninstall", 0, nullptr}});
}
