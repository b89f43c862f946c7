#include "system/ChildProcess.h"

#include "base/Text.h"
#include "log/VLogger.h"

namespace {

STARTUPINFOW StartupFor(Launch launch) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    switch (launch) {
    case Launch::Hidden:
        // Only the show state changes; it takes effect when the tool itself
        // was started with STARTF_USESHOWWINDOW.
        GetStartupInfoW(&startup);
        startup.wShowWindow = SW_HIDE;
        break;
    case Launch::Shown:
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_SHOW;
        break;
    case Launch::Windowless:
    case Launch::Plain:
        break;
    }
    return startup;
}

DWORD CreationFlagsFor(Launch launch) {
    return launch == Launch::Hidden || launch == Launch::Windowless ? CREATE_NO_WINDOW : 0;
}

}  // namespace

std::wstring CommandLineFor(const std::wstring& executable, const std::wstring& parameters) {
    std::wstring commandLine = QuoteIfNeeded(executable);
    if (!parameters.empty()) commandLine += L' ' + parameters;
    return commandLine;
}

std::optional<std::wstring> RunAndWaitCommandLine(const wchar_t* path, const wchar_t* parameters) {
    std::wstring commandLine = path != nullptr ? QuoteIfNeeded(path) : std::wstring();
    commandLine += L' ';
    if (parameters != nullptr) commandLine += parameters;
    if (commandLine.size() > kRunAndWaitCommandLineMax) return std::nullopt;
    return commandLine;
}

BOOL StartChild(Launch launch, const std::wstring& executable, const std::wstring& commandLine,
                ProcessHandles& child, const wchar_t* currentDirectory) {
    STARTUPINFOW startup = StartupFor(launch);
    PROCESS_INFORMATION info{};
    const bool shown = launch == Launch::Shown;
    std::wstring writableCommandLine = commandLine;  // CreateProcessW may write into it
    const BOOL started =
        CreateProcessW(shown ? executable.c_str() : nullptr, shown ? nullptr : writableCommandLine.data(), nullptr,
                       nullptr, FALSE, CreationFlagsFor(launch), nullptr, currentDirectory, &startup, &info);
    if (started) child = ProcessHandles(info);
    return started;
}

int _RunAndWait(const wchar_t* path, const wchar_t* parameters, DWORD* exitCode) {
    const std::optional<std::wstring> commandLine = RunAndWaitCommandLine(path, parameters);
    if (!commandLine) return 0;
    ProcessHandles child;
    if (!StartChild(Launch::Windowless, std::wstring(), *commandLine, child)) return 0;
    WaitForSingleObject(child.process.Get(), INFINITE);
    if (exitCode != nullptr) GetExitCodeProcess(child.process.Get(), exitCode);
    return 1;
}

BOOL _DoCreateProcess(const std::wstring& path, const std::wstring& parameters, const std::wstring& directory) {
    const std::wstring commandLine = CommandLineFor(path, parameters);
    runLog << L"_DoCreateProcess : " << commandLine << EndLine;
    runLog << L"strCurrentDirectory : " << directory << EndLine;
    ProcessHandles child;
    const BOOL started =
        StartChild(Launch::Plain, path, commandLine, child, directory.empty() ? nullptr : directory.c_str());
    LogLine(started ? L"_DoCreateProcess Suc" : L"_DoCreateProcess Fail");
    return started;
}
