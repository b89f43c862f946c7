#include "engine/SolutionLoader.h"

#include <shlwapi.h>

#include <string>

#include "engine/UnstallContext.h"
#include "log/VLogger.h"
#include "system/ConsoleOutput.h"

namespace {

// Loads the library with the system's critical-error boxes ("cannot find DLL"
// for a missing dependency, say) turned off for this thread and this load
// only: nobody may be there to close one. The process error mode, which child
// processes inherit, stays as it is. Its dependencies come from its own
// folder, the tool's folder and the system folder, never from PATH, where any
// user may have planted one to run with the tool's rights.
HMODULE LoadLibraryQuietly(const wchar_t* path) {
    DWORD previousMode = 0;
    const bool quiet =
        SetThreadErrorMode(GetThreadErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    const HMODULE module = LoadLibraryExW(
        path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (quiet) SetThreadErrorMode(previousMode, nullptr);
    return module;
}

}  // namespace

HRESULT CQIVUseComDll_v2::GetClassObject(IZelSolution** out) {
    if (out == nullptr) return E_POINTER;
    if (module == nullptr) return E_INVALIDARG;
    const auto getClassObject =
        reinterpret_cast<DllGetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (getClassObject == nullptr) return CO_E_ERRORINDLL;
    return getClassObject(CLSID_ZelSolution, IID_IZelSolution, reinterpret_cast<void**>(out));
}

int _LoadSolution(CUnstallContext& context) {
    if (context.solution != nullptr) return 1;  // loaded once per run
    if (!PathFileExistsW(context.solutionPath)) {
        PrintText(L"\n" + std::wstring(context.solutionPath) + L" file do not exists \n");
        return 0;
    }
    if (context.comDll.module == nullptr) {
        // The keeper and the watch cover the library's attach code too.
        const DWORD keeperError = context.keeper.Start();
        if (keeperError != ERROR_SUCCESS) {
            LogLine((L"The record keeper could not start (error " + std::to_wstring(keeperError) +
                     L"); a crash or a hang is reported from inside the run")
                        .c_str());
        }
        const DWORD watchError = context.watchdog.Start(context.engineCallLimitSeconds);
        if (watchError != ERROR_SUCCESS) {
            LogLine((L"The engine library runs without its time limit: its watch could not start (error " +
                     std::to_wstring(watchError) + L")")
                        .c_str());
        }
        context.watchdog.Enter(EngineCall::Attach);
        context.comDll.module = LoadLibraryQuietly(context.solutionPath);
        if (context.comDll.module == nullptr) {
            context.watchdog.Stop();
            PrintText(L"\nLoad  " + std::wstring(context.solutionPath) + L" file failed \n");
            return 0;
        }
    }
    // Only the interface pointer tells success: some libraries return S_OK
    // without one.
    context.watchdog.Enter(EngineCall::ClassObject);
    context.comDll.GetClassObject(&context.solution);
    if (context.solution == nullptr) {
        PrintText(L"\nGetClassObject  IZelSolution  interface failed \n");
        return 0;
    }
    return 1;
}

int _DoInstall(CUnstallContext& context) {
    if (!_LoadSolution(context)) return 0;
    context.watchdog.Enter(EngineCall::Initialize);
    if (FAILED(context.solution->Initialize(0))) return 0;
    context.watchdog.Enter(EngineCall::Install);
    const bool installed = SUCCEEDED(context.solution->Install(0));
    context.watchdog.Enter(EngineCall::Uninitialize);
    context.solution->Uninitialize();
    return installed ? 1 : 0;
}

int _DoUnInstall(CUnstallContext& context) {
    if (!_LoadSolution(context)) return 0;
    LogLine(L"Now, _DoUnInstall");
    context.watchdog.Enter(EngineCall::Initialize);
    if (FAILED(context.solution->Initialize(0))) return 0;
    context.watchdog.Enter(EngineCall::Uninstall);
    const bool uninstalled = SUCCEEDED(context.solution->Uninstall());
    context.watchdog.Enter(EngineCall::Uninitialize);
    context.solution->Uninitialize();
    return uninstalled ? 1 : 0;
}
