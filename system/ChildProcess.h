#pragma once
// Starting the products' programs. Every child the tool starts goes through
// one of the four launch conventions below.

#include <windows.h>

#include <optional>
#include <string>

#include "base/Handles.h"

// The launch conventions that pass a command line and no application name.
// The fourth, the shown launch, has a function of its own: StartShown.
enum class Launch {
    Hidden,      // own STARTUPINFO with SW_HIDE, CREATE_NO_WINDOW
    Windowless,  // zeroed STARTUPINFO, CREATE_NO_WINDOW
    Plain,       // zeroed STARTUPINFO, no flags
};

// The command line for an executable and its parameters: the executable
// quoted when it holds a space or tab, then " " and the parameters when they
// are not empty.
std::wstring CommandLineFor(const std::wstring& executable, const std::wstring& parameters);

// _RunAndWait's command line holds at most 259 characters (260 with its NUL).
inline constexpr size_t kRunAndWaitCommandLineMax = MAX_PATH - 1;

// _RunAndWait's command line: the path (quoted when it holds a space or tab;
// nothing when null), one space in every case, then the parameters. Nothing
// when the whole would exceed kRunAndWaitCommandLineMax.
std::optional<std::wstring> RunAndWaitCommandLine(const wchar_t* path, const wchar_t* parameters);

// Starts commandLine by the given convention, with no application name; the
// child inherits no handles. currentDirectory is the child's current
// directory, null for the tool's own; only plain launches give one. On
// success the child's handles are in `child`.
BOOL StartChild(Launch launch, const std::wstring& commandLine, ProcessHandles& child,
                const wchar_t* currentDirectory = nullptr);

// The shown launch: STARTF_USESHOWWINDOW with SW_SHOW, no creation flags, the
// executable's full path as application name and no command line. The child
// inherits no handles and gets the tool's current directory. On success the
// child's handles are in `child`.
BOOL StartShown(const std::wstring& executable, ProcessHandles& child);

// Starts path, one space and parameters by the windowless launch and waits
// without limit. 1 when the child was started (and has ended), 0 otherwise;
// refuses (0, nothing started) a command line over 259 characters.
int _RunAndWait(const wchar_t* path, const wchar_t* parameters, DWORD* exitCode);

// Logs and starts path (plus " " and parameters when not empty) by the plain
// launch in `directory`; never waits. CreateProcessW's result.
BOOL _DoCreateProcess(const std::wstring& path, const std::wstring& parameters, const std::wstring& directory);
