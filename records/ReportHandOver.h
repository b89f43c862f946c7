#pragma once
// What a run and its record keeper share: one record in the run's memory that
// the run writes and the keeper reads from outside (ReadProcessMemory). It
// holds plain values and handles only, so that a thread that writes it needs
// neither the heap nor the loader, whatever locks it holds. What only the run
// uses (its handle on the keeper, the claim between its threads) is kept
// apart, beside the code that uses it.

#include <windows.h>

// The engine library's calls, as the watch names them and the hang line
// tells them.
enum class EngineCall : LONG {
    None,  // no call of the library is under way
    Attach,
    ClassObject,
    Initialize,
    Install,
    Uninstall,
    Uninitialize,
    Release,
    Detach,
};
// What the run asks of its keeper when it signals `request`.
enum class KeeperRequest : LONG {
    None,      // look at `hangLimitSeconds`
    Crash,     // an unhandled exception: faultingThreadId and exception
    Abort,     // abort() was called
    Finished,  // the library is done with: end without a line
};

// Set while a keeper may read the record, so that an argument that merely
// looks like a keeper's is told apart.
inline constexpr DWORD kHandOverSignature = 0x5A4B5245;  // "ERKZ"

struct ReportHandOver {
    DWORD signature = 0;
    DWORD runProcessId = 0;  // whose record this is
    // Set before the keeper starts; the keeper inherits these very handles,
    // under the same values.
    HANDLE request = nullptr;        // auto-reset event: read the record now
    HANDLE ready = nullptr;          // set by the keeper once it waits for requests
    HANDLE taken = nullptr;          // auto-reset event, set by the keeper once it has taken a request
    HANDLE watchedThread = nullptr;  // the thread that calls into the engine library
    DWORD watchedThreadId = 0;
    DWORD markedProcess = 0;       // as VLogger::MarkedProcess gives it for the run
    volatile LONG exitCode = -1;   // what the keeper ends a failed run with: its last-chance exit code
    // As the run goes on.
    volatile LONG call = static_cast<LONG>(EngineCall::None);  // the call under way
    volatile LONG callingThreadId = 0;  // the thread that named it
    volatile LONG hangLimitSeconds = 0;  // the watch found `call` still running at this limit
    volatile LONG asked = static_cast<LONG>(KeeperRequest::None);
    DWORD faultingThreadId = 0;
    EXCEPTION_POINTERS* exception = nullptr;  // the crash's, in the run's memory
    // The crash's code and address, copied at once: the faulting thread, and
    // with it the record on its stack, may be gone before the report is made.
    DWORD exceptionCode = 0;
    void* exceptionAddress = nullptr;
};

// This run's own hand-over, written by the launcher's thread and by whichever
// thread fails; a record keeper reads it at this address from outside.
extern ReportHandOver runHandOver;

// "Install", "its attach code"; empty for None.
const wchar_t* EngineCallName(EngineCall call);
