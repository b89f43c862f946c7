#include <windows.h>

#include "launcher/Launcher.h"
#include "records/LastChance.h"
#include "records/RecordKeeper.h"
#include "records/ReportClaim.h"
#include "system/LibrarySearch.h"

namespace {

// The executable's TLS callback, which the loader calls as every thread
// starts and ends, and as the process detaches: every end of the tool's
// processes is TerminateProcess (EndProcessWith), which detaches nothing, so
// a detach means some code called ExitProcess.
void NTAPI OnThreadOrProcess(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_ATTACH) WatchThreadForExitProcess();
    if (reason == DLL_PROCESS_DETACH) OnProcessDetach();
}

}  // namespace

extern "C" __attribute__((used, section(".CRT$XLY"))) const PIMAGE_TLS_CALLBACK zelunstThreadsAndProcess =
    OnThreadOrProcess;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    RestrictLibrarySearch();
    InstallLastChanceHandlers();
    // A keeper of another run's record dispatches nothing and logs no start.
    if (const std::optional<int> keeperExitCode = KeepRecordWhenAsked()) {
        EndProcessWith(static_cast<UINT>(*keeperExitCode));
    }
    WatchForExitProcess();
    // A failure met meanwhile on another thread (one the engine library
    // started, say) ends the run with its own code and line instead.
    EndRunWith(RunGuarded(RunHandle));
}
