#include "standins/common/CommandLineProgram.h"

#include <shellapi.h>

#include "base/Handles.h"
#include "base/Text.h"

namespace standin {

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> arguments;
    int count = 0;
    LocalMemory memory;
    wchar_t** argv = CommandLineToArgvW(commandLine.c_str(), &count);
    memory.Reset(argv);
    for (int i = 1; argv != nullptr && i < count; ++i) arguments.emplace_back(argv[i]);
    return arguments;
}

std::wstring JoinArguments(const std::vector<std::wstring>& arguments) {
    std::wstring joined;
    for (const std::wstring& argument : arguments) {
        if (!joined.empty()) joined += L' ';
        joined += argument;
    }
    return joined;
}

const KnownOption* MatchOption(const std::vector<KnownOption>& options, const std::vector<std::wstring>& arguments) {
    std::wstring first = arguments.empty() ? std::wstring() : arguments[0];
    AsciiLowercase(first);
    const KnownOption* anything = nullptr;
    for (const KnownOption& option : options) {
        std::wstring name = option.name;
        AsciiLowercase(name);
        if (first == name) return &option;
        if (std::wstring(option.name) == kAnyOption) anything = &option;
    }
    return anything;
}

Invocation BeginInvocation(const std::vector<KnownOption>& options, const KnownOption** matched) {
    Invocation invocation;
    invocation.self = PathsOfThisProcess();
    invocation.facts = CaptureStartFacts();
    invocation.arguments = SplitCommandLine(invocation.facts.commandLine);
    const KnownOption* option = MatchOption(options, invocation.arguments);
    if (option != nullptr && std::wstring(option->name) != kAnyOption) invocation.option = option->name;
    if (matched != nullptr) *matched = option;
    AppendRecord(invocation.self,
                 StartFields("start", invocation.option, JoinArguments(invocation.arguments), invocation.facts));
    invocation.settings = Settings::Load(invocation.self.settingsPath);
    return invocation;
}

DWORD FinishInvocation(const Invocation& invocation, DWORD resultCode) {
    const Settings& settings = invocation.settings;
    if (settings.Flag(invocation.option, kHang)) {
        AppendRecord(invocation.self, EventFields("hang", {{"option", ToUtf8(invocation.option)}}));
        for (;;) Sleep(INFINITE);
    }
    const DWORD delayMs = settings.Number(invocation.option, kDelayMs, 0);
    if (delayMs > 0) Sleep(delayMs);
    const DWORD exitCode = settings.Number(invocation.option, kExitCode, resultCode);
    AppendRecord(invocation.self, EventFields("exit", {{"option", ToUtf8(invocation.option)},
                                                       {"result", std::to_string(resultCode)},
                                                       {"exit_code", std::to_string(exitCode)}}));
    return exitCode;
}

int RunCommandLineProgram(const std::vector<KnownOption>& options) {
    const KnownOption* option = nullptr;
    const Invocation invocation = BeginInvocation(options, &option);
    DWORD result = kUnknownOptionExitCode;
    if (option != nullptr) result = option->action != nullptr ? option->action(invocation) : option->exitCode;
    return static_cast<int>(FinishInvocation(invocation, result));
}

}  // namespace standin
