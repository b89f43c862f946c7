// A real "zelabsent.dll", for the tests to plant where the loader must or must
// not look for the dependency of zeldecs_missingdep.dll. Loaded, it records
// "attached <its own path>" in zelabsent.record beside itself.
#include <windows.h>

#include "base/Paths.h"
#include "base/Text.h"
#include "standins/common/Files.h"

extern "C" int ZelAbsentEntry() { return 0; }

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        const std::wstring path = ModulePath(self);
        const std::wstring folder = path.substr(0, path.rfind(L'\\') + 1);
        standin::AppendLine(folder + L"zelabsent.record", "attached " + ToUtf8(path));
    }
    return TRUE;
}
