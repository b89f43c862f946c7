#include "system/OtherProcess.h"

#include <psapi.h>

#include "base/Paths.h"

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
    std::wstring path(kLongestPath, L'\0');
    const DWORD length = GetModuleFileNameExW(process, module, path.data(), kLongestPath);
    if (length == 0 || length >= kLongestPath) return place;
    path.resize(length);
    place.fileName = path.substr(path.find_last_of(L"\\/") + 1);
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
