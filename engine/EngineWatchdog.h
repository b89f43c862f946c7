#pragma once
// The bound on the engine's solution library: from its load until its last
// call has returned, the run's thread must come back from it within the limit,
// or the run ends with a line, a dump of where it hangs and the option's
// failure code. The record keeper makes that report when the run has one that
// answers (AskKeeperAboutHang); the run itself otherwise
// (ReportHangFromInside). A thread that ends inside a call ends the run at
// once, with its line.
//
// Whatever holds the heap or the loader lock, and whatever becomes of the
// keeper, the run ends within its bounds: a last resort, started with the
// watch, only waits, then writes its lines if no report did and ends the
// process. It bounds the library's calls at the limit and kReportBudgetMs; a
// failure's report at kReportBudgetMs and a margin, taking the report back
// from a keeper that ended or stopped answering in the middle of it; and the
// run's end at kRunEndBudgetMs after the last call, limit or none. It stays
// until the process is gone. Neither it nor the watch needs the heap, the
// loader or the keeper once a bound has passed.

#include <windows.h>

#include "base/Handles.h"
#include "records/KeeperSignals.h"
#include "records/ReportHandOver.h"
#include "system/EngineCallLimit.h"
#include "system/MiniDump.h"

class EngineWatchdog {
public:
    EngineWatchdog() = default;
    ~EngineWatchdog() { Stop(); }
    EngineWatchdog(const EngineWatchdog&) = delete;
    EngineWatchdog& operator=(const EngineWatchdog&) = delete;

    // Starts the watch on the calling thread, over limitSeconds from now (0:
    // no limit on the calls: the watch only sees the thread end inside a call,
    // which would otherwise end the process with the thread's own exit code
    // when it is the last; the last resort keeps its other bounds). Every thread the report needs runs before
    // this returns: while a library's attach code runs it holds the loader
    // lock, and a thread created then does not start. Without a keeper that
    // includes the dump's writer, which loads dbghelp.dll; with one, the run
    // loads no dbghelp.dll of its own before the library, which may bring
    // its own; a writer that is not ready in time leaves the hang's report
    // without a dump. ERROR_SUCCESS, or the error that kept a thread from
    // starting (the run then goes unwatched). A dump an earlier run's writer
    // left unfinished is deleted.
    DWORD Start(DWORD limitSeconds);
    // Names the call the watched thread makes next. Inline: a call of its own
    // would leave a return address into it on the stack, which a dump reader
    // scanning the stack would take for a caller.
    void Enter(EngineCall call) { NoteEngineCall(call); }
    // The last call has returned: the watch ends. A report of a hang already
    // under way ends the run first. The last resort stays, bounding the run's
    // end from now on: it outlives this object.
    void Stop();

    // How long the run may take to end once the library's last call has
    // returned: the keeper's dismissal and a report under way fit in it.
    static constexpr DWORD kRunEndBudgetMs = kReportBudgetMs + 10000;

private:
    static DWORD WINAPI Watch(void* self);
    // The limit has passed: the keeper, or the run itself, looks at the hang.
    void LookAtTheHang();
    // The watched thread ended; inside a call, that ends the run.
    void CallingThreadEnded();

    DWORD limitSeconds_ = 0;
    KernelHandle watched_;
    DWORD watchedId_ = 0;
    KernelHandle stop_;
    KernelHandle running_;  // a semaphore each thread releases once it runs
    KernelHandle watch_;
    KernelHandle lastResort_;
    KernelHandle callsDone_;  // the last resort's copy outlives this object
    KernelHandle abandoned_;  // a watch that could not start takes its last resort with it
    DumpWriter writer_;
};
