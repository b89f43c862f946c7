#include "system/OtherProcess.h"

#include <psapi.h>

ModulePlace ModuleHolding(HANDLE process, const void* address) {
    ModulePlace place;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    place.offset = at;
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQueryEx(process, address, &region, sizeof(region)) != sizeof(region) || region.Type != MEM_IMAGE) {
        return place;
    }
    // A mapped image is one allocation: its base is the module's.
    const auto module = static_cast<HMODULE>(region.AllocationBase);
    const DWORD length = GetModuleBaseNameW(process, module, place.fileName, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        place.fileName[0] = L'\0';
        return place;
    }
    place.offset = at - reinterpret_cast<std::uintptr_t>(module);
    return place;
}

bool StopThread(HANDLE thread, CONTEXT& context) {
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) return false;
    context.ContextFlags = CONTEXT_FULL;
    if (GetThreadContext(thread, &context)) return true;
    ResumeThread(thread);
    return false;
}

void LetGoFully(HANDLE thread) {
    DWORD previousCount = 0;
    do {
        previousCount = ResumeThread(thread);
    } while (previousCount != static_cast<DWORD>(-1) && previousCount > 1);
}
