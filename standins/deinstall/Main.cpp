// Stand-in for the protection product's deinstaller: "/uninstall".
#include "standins/common/CommandLineProgram.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return standin::RunCommandLineProgram({{L"/uninstall", 0, nullptr}});
}
