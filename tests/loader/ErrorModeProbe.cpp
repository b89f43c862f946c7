// A library that notes the error modes in force while the loader attaches
// it, for the tests of the solution loader's quiet load.
#include <windows.h>

namespace {

DWORD threadModeAtAttach = 0;
DWORD processModeAtAttach = 0;

}  // namespace

extern "C" __declspec(dllexport) void ErrorModesAtAttach(DWORD* threadMode, DWORD* processMode) {
    *threadMode = threadModeAtAttach;
    *processMode = processModeAtAttach;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        threadModeAtAttach = GetThreadErrorMode();
        processModeAtAttach = GetErrorMode();
    }
    return TRUE;
}
