// A helper library that the stand-in solution library loads ("KeepLoaded",
// "Leave=loadslow"), as an engine's library loads parts of its own. It
// records its attach and detach in zelhelper.record beside itself
// ("DLL_PROCESS_ATTACH", "DLL_PROCESS_DETACH FreeLibrary" or "...
// ProcessExit"), and zelhelper.settings beside itself may make them bad:
//   attach_ms=<ms>      the attach code takes this long (holding the loader lock)
//   detach=hang|fault   the detach code at the process's end never returns, or
//                       crashes
#include <windows.h>

#include "base/Paths.h"
#include "standins/common/Files.h"
#include "standins/common/Settings.h"

namespace {

volatile int* volatile nowhere = nullptr;

std::wstring BesideItself(HINSTANCE self, const wchar_t* fileName) {
    const std::wstring path = ModulePath(self);
    return path.substr(0, path.rfind(L'\\') + 1) + fileName;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    const std::wstring record = BesideItself(self, L"zelhelper.record");
    if (reason == DLL_PROCESS_ATTACH) {
        const standin::Settings settings = standin::Settings::Load(BesideItself(self, L"zelhelper.settings"));
        standin::AppendLine(record, "DLL_PROCESS_ATTACH\r\n");
        Sleep(settings.Number(L"", "attach_ms", 0));
    } else if (reason == DLL_PROCESS_DETACH) {
        // A null reserved pointer means FreeLibrary, anything else the end of the process.
        standin::AppendLine(record, reserved == nullptr ? "DLL_PROCESS_DETACH FreeLibrary\r\n"
                                                        : "DLL_PROCESS_DETACH ProcessExit\r\n");
        if (reserved == nullptr) return TRUE;
        const std::optional<std::string> detach =
            standin::Settings::Load(BesideItself(self, L"zelhelper.settings")).Find(L"", "detach");
        if (detach == "hang") Sleep(INFINITE);
        if (detach == "fault") *nowhere = 1;
    }
    return TRUE;
}
