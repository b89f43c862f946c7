// Stand-in for the product's uninstaller: records its start and ends; it
// removes nothing, so a test can look at the product afterwards. It takes any
// command line (normally none).
#include "standins/common/CommandLineProgram.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return standin::RunCommandLineProgram({{L"", 0, nullptr}, {standin::kAnyOption, 0, nullptr}});
}
