// Stand-in for the engine's registration tool: "zelreg.ini".
#include "standins/common/CommandLineProgram.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return standin::RunCommandLineProgram({{L"zelreg.ini", 0, nullptr}});
}
