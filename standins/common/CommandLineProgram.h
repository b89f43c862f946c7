#pragma once
// The common life of a stand-in started from a command line: record the
// start, act on the option, then be as slow, hung or failing as the settings
// say, record the end and hand back the exit code.

#include <windows.h>

#include <string>
#include <vector>

#include "standins/common/Self.h"
#include "standins/common/Settings.h"

namespace standin {

struct Invocation {
    SelfPaths self;
    StartFacts facts;
    std::vector<std::wstring> arguments;  // without the program name
    std::wstring option;                  // the option acted on, "" for none
    Settings settings;                    // read at the start
};

// An option's own work; returns the exit code it would end with.
using OptionAction = DWORD (*)(const Invocation& invocation);

// A KnownOption of this name takes whatever no other one matched; the
// record then names no option. The name "" matches a command line without
// arguments.
inline constexpr wchar_t kAnyOption[] = L"*";

struct KnownOption {
    const wchar_t* name;     // as matched, case-insensitively, against the first argument
    DWORD exitCode;          // when there is no action
    OptionAction action;     // may be null
};

// Exit code when the first argument is no known option.
inline constexpr DWORD kUnknownOptionExitCode = ERROR_INVALID_PARAMETER;

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);
std::wstring JoinArguments(const std::vector<std::wstring>& arguments);
const KnownOption* MatchOption(const std::vector<KnownOption>& options, const std::vector<std::wstring>& arguments);

// Records the start line of the invocation.
Invocation BeginInvocation(const std::vector<KnownOption>& options, const KnownOption** matched);
// Applies hang, delay_ms and exit_code to the option's result, records the end.
DWORD FinishInvocation(const Invocation& invocation, DWORD resultCode);

int RunCommandLineProgram(const std::vector<KnownOption>& options);

}  // namespace standin
