#include "system/ChildProcess.h"

#include "base/Text.h"
#include "log/VLogger.h"

namespace {

STARTUPINFOW StartupFor(Launch launch) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (launch == Launch::Hidden) {
        // Only the show state changes; it takes effect when the tool itself
        // was started with STARTF_USESHOWWINDOW.
        GetStartupInfoW(&startup);
        startup.wShowWindow = SW_HIDE;
    }
    return startup;
}

DWORD CreationFlagsFor(Launch launch) { return launch == Launch::Plain ? 0 : CREATE_NO_WINDOW; }

// CreateProcessW with what every launch shares: no security attributes, no
// inherited handles and the tool's environment.
BOOL CreateChild(const wchar_t* application, wchar_t* commandLine, DWORD flags, const wchar_t* currentDirectory,
                 STARTUPINFOW& startup, ProcessHandles& child) {
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, flags, nullptr,
                                        currentDirectory, &startup, &info);
    if (started) child = ProcessHandles(info);
    return started;
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

BOOL StartChild(Launch launch, const std::wstring& commandLine, ProcessHandles& child,
                const wchar_t* currentDirectory) {
    STARTUPINFOW startup = StartupFor(launch);
    std::wstring writableCommandLine = commandLine;  // CreateProcessW may write into it
    return CreateChild(nullptr, writableCommandLine.data(), CreationFlagsFor(launch), currentDirectory, startup,
                       child);
}

BOOL StartShown(const std::wstring& executable, ProcessHandles& child) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    return CreateChild(executable.c_str(), nullptr, 0, nullptr, startup, child);
}

int _RunAndWait(const wchar_t* path, const wchar_t* parameters, DWORD* exitCode) {
    const std::optional<std::wstring> commandLine = RunAndWaitCommandLine(path, parameters);
    if (!commandLine) return 0;
    ProcessHandles child;
    if (!StartChild(Launch::Windowless, *commandLine, child)) return 0;
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
        StartChild(Launch::Plain, commandLine, child, directory.empty() ? nullptr : directory.c_str());
    LogLine(started ? L"_DoCreateProcess Suc" : L"_DoCreateProcess Fail");
    return started;
}
