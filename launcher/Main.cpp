#include <windows.h>

#include "launcher/Launcher.h"
#include "launcher/ProcessGuards.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    InstallLastChanceHandlers();
    RestrictLibrarySearch();
    return RunGuarded(RunHandle);
}
