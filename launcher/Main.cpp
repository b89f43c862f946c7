#include <windows.h>

#include "launcher/Launcher.h"
#include "records/LastChance.h"
#include "records/RecordKeeper.h"
#include "records/ReportClaim.h"
#include "system/LibrarySearch.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    RestrictLibrarySearch();
    InstallLastChanceHandlers();
    // A keeper of another run's record dispatches nothing and logs no start.
    if (const std::optional<int> keeperExitCode = KeepRecordWhenAsked()) return *keeperExitCode;
    // A failure met meanwhile on another thread (one the engine library
    // started, say) ends the run with its own code and line instead.
    EndRunWith(RunGuarded(RunHandle));
}
