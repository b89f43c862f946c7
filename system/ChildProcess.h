#pragma once
// Starting the products' programs. Every child the tool starts goes through
// one of the five launch conventions below.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/Handles.h"

// The launch conventions that pass a command line and no application name.
// The shown launch has a function of its own: StartShown.
enum class Launch {
    Hidden,      // own STARTUPINFO with SW_HIDE, CREATE_NO_WINDOW
    Windowless,  // zeroed STARTUPINFO, CREATE_NO_WINDOW
    Plain,       // zeroed STARTUPINFO, no flags
    // The windowless launch, but the child writes where the tool writes: it
    // gets the tool's standard handles (a console, or the pipes or files a
    // deployment tool redirected them to), and inherits those and no other.
    // A tool without standard handles starts it windowless; so does a system
    // that refuses to hand them on, which the start reports.
    WindowlessSharingOutput,
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
// child inherits no handles but the standard handles the sharing launch hands
// on. currentDirectory is the child's current directory, null for the tool's
// own. On success the child's handles are in `child`; on failure
// GetLastError() tells why. *handOnRefused, when given, receives the error
// with which the system refused the sharing launch its handles (the child was
// then started without them), else ERROR_SUCCESS.
BOOL StartChild(Launch launch, const std::wstring& commandLine, ProcessHandles& child,
                const wchar_t* currentDirectory = nullptr, DWORD* handOnRefused = nullptr);

// A helper of the tool's own, started windowless (no standard handles in its
// start-up record) in the tool's current folder: it inherits exactly
// `handles`, each of which must be inheritable, and nothing else. On success
// the child's handles are in `child`; on failure GetLastError() tells why.
BOOL StartHelper(const std::wstring& commandLine, const std::vector<HANDLE>& handles, ProcessHandles& child);

// The shown launch: STARTF_USESHOWWINDOW with SW_SHOW, no creation flags, the
// executable's full path as application name and no command line. The child
// inherits no handles and gets the tool's current directory. On success the
// child's handles are in `child`.
BOOL StartShown(const std::wstring& executable, ProcessHandles& child);

// How a child that was waited for within a bound came out.
struct ChildRun {
    enum class End {
        NotStarted,          // CreateProcessW failed (error), or the command line was refused
        Ended,               // it ended within the bound (exitCode)
        StillRunning,        // it outlived the bound; it is left running
        WaitFailed,          // the wait itself failed (error); the child is left as it is
        ExitCodeUnreadable,  // it ended, but its exit code could not be read (error)
    };
    End end = End::NotStarted;
    DWORD exitCode = 0;
    DWORD processId = 0;
    DWORD error = ERROR_SUCCESS;
    DWORD handOnRefused = ERROR_SUCCESS;  // as StartChild gives it
};

// Starts commandLine by `launch` and waits for it up to timeoutMs. A child
// still running then is neither ended nor waited for again.
ChildRun RunChildWithin(Launch launch, const std::wstring& commandLine, DWORD timeoutMs);
// Waits up to timeoutMs for a started child and tells how it came out (its
// processId included).
ChildRun WaitForChildWithin(HANDLE process, DWORD timeoutMs);

// How a child came out, for a log line, where its caller has no words of its
// own: "could not be started (error 2)", "could not be waited for (error 6)",
// "ended, but its exit code could not be read (error 5)". Empty for a child
// that ended or is still running: what those mean is the caller's to say.
std::wstring FailedRunText(const ChildRun& run);

// How the workflows run the children they wait for: RunChildWithin, or a
// test's own that sees the bounds and makes up the outcome.
using ChildRunner = std::function<ChildRun(Launch launch, const std::wstring& commandLine, DWORD timeoutMs)>;

// Starts path, one space and parameters by the windowless launch and waits up
// to timeoutMs. A command line over 259 characters is refused: NotStarted,
// nothing started.
ChildRun _RunAndWait(const wchar_t* path, const wchar_t* parameters, DWORD timeoutMs,
                     const ChildRunner& run = RunChildWithin);

// Logs and starts path (plus " " and parameters when not empty) by the plain
// launch in `directory`; never waits. CreateProcessW's result.
BOOL _DoCreateProcess(const std::wstring& path, const std::wstring& parameters, const std::wstring& directory);
