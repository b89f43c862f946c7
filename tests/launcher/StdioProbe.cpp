// A GUI program built like the tool, with its code linked in. It borrows its
// parent's console as the tool does, then writes one labelled line through
// every way of reaching its standard handles and starts itself by the hidden
// launch to see what a child is handed. Whatever does not arrive in the
// parent's pipes did not work.
//
//   stdio_probe.exe          all of it
//   stdio_probe.exe moved    the same, the standard output first pointed at
//                            the error handle (the start-up record keeps the
//                            output handle)
//   stdio_probe.exe console  only printf, wprintf and the tool's own writer
//                            (no pipes to read from)
//   stdio_probe.exe child    the hidden launch's child
//
// Exit codes: 0 done, 3 no console attached, 4 child not started, 5 child hung.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "base/Paths.h"
#include "launcher/Launcher.h"
#include "system/ChildProcess.h"
#include "system/ConsoleOutput.h"

namespace {

void WriteLine(HANDLE handle, const std::string& text) {
    const std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

int RunChild() {
    WriteLine(GetStdHandle(STD_OUTPUT_HANDLE), "child-output");
    WriteLine(GetStdHandle(STD_ERROR_HANDLE), "child-error");
    // The parent wrote all of the input before the probe started.
    char input[64] = {};
    DWORD got = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), input, sizeof(input) - 1, &got, nullptr);
    std::string text(input, got);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    WriteLine(GetStdHandle(STD_OUTPUT_HANDLE), "child-read " + text);
    return 0;
}

int RunProbe(const std::wstring& mode) {
    if (mode == L"moved") SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    ParentConsole console;
    if (!consoleAttached) return 3;
    printf("printf\n");
    wprintf(L"wprintf\n");
    // The tool's own messages, past the streams.
    PrintText(L"own-output\n");
    if (mode == L"console") return 0;
    fprintf(stderr, "fprintf\n");
    char line[64] = {};
    if (fgets(line, sizeof(line), stdin) != nullptr) printf("read %s", line);

    WriteLine(GetStdHandle(STD_OUTPUT_HANDLE), "std-output");
    WriteLine(GetStdHandle(STD_ERROR_HANDLE), "std-error");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    WriteLine(startup.hStdOutput, "startup-output");
    WriteLine(startup.hStdError, "startup-error");

    ProcessHandles child;
    if (!StartChild(Launch::Hidden, CommandLineFor(ModulePath(), L"child"), child)) return 4;
    if (WaitForSingleObject(child.process.Get(), 20000) != WAIT_OBJECT_0) {
        TerminateProcess(child.process.Get(), 1);
        return 5;
    }
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    const std::wstring mode = commandLine;
    return mode == L"child" ? RunChild() : RunProbe(mode);
}
