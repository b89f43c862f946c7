#include <windows.h>

#include "launcher/Launcher.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    ParentConsole console;
    CUnstallContext context;
    int result = 0;
    if (Init(context)) {
        result = RunHandle(context);
        Uninit(context);
    }
    return result;
}
