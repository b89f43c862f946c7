#pragma once
// Crash and hang dumps of a run of the tool, written by the run itself or by
// its record keeper from outside, for a developer to read with the shipped
// file's symbols. Nothing here logs; its caller does.

#include <windows.h>

#include "base/Handles.h"
#include "base/Text.h"

// How long a dump may take before it is given up: a fault or a hang inside
// the heap or the loader can leave a lock held that the writer then waits on.
inline constexpr DWORD kDumpWaitMs = 30000;

// The exception code a hang dump gives the hung thread, so that a reader finds
// it among the others (0x102: WAIT_TIMEOUT).
inline constexpr DWORD kHangExceptionCode = 0xE0000102;
// The exception a hang dump gives a stopped thread: kHangExceptionCode at the
// instruction its context shows.
EXCEPTION_RECORD HangRecordAt(const CONTEXT& context);

// The exception a dump names: the thread that met it, and the exception's
// record and context, either in the writer's memory or, with
// inDumpedProcess, at those addresses in the process dumped.
struct DumpException {
    DWORD threadId = 0;
    EXCEPTION_POINTERS* pointers = nullptr;
    bool inDumpedProcess = false;
};

// A thread of its own that writes one dump when asked, so that the one who
// asks can give up on a dump that hangs. The asking needs neither the heap nor
// the loader: a run may ask while one of its threads holds either.
class DumpWriter {
public:
    DumpWriter() = default;
    // Ends the writer's thread once it has done the job asked of it, if any (a
    // dump given up on then goes with its file, an older one at its path too);
    // one that does not end within kDumpWaitMs is left with its handles.
    ~DumpWriter();
    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;

    // Starts the writer's thread, which loads dbghelp.dll from the system
    // folder, and waits up to waitMs for it to be ready. A thread created while
    // another holds the loader lock (a library whose attach code hangs) does not
    // start until the lock is let go: start it before loading such code. False
    // when it is not ready in time (it may still get ready later) or could not
    // be created.
    bool Start(DWORD waitMs);

    // Writes a dump of the process (PROCESS_QUERY_INFORMATION and
    // PROCESS_VM_READ) to path, replacing an older file: every thread with its
    // stack (the writer's own left out), the module list, the exception (none
    // for null) and `comment` as the dump's comment; no heap memory. path and
    // comment are copied (at most MAX_PATH - 9 and FixedText::kRoom
    // characters). Waits up to timeoutMs. S_OK when the dump is whole. An
    // older dump at path is deleted first; the new one is written under path
    // and ".partial", marked for deletion from its creation, and takes path's
    // name only once whole. So a dump that fails, times out or is cut short by
    // the writer's end leaves no file at path, never an empty or partial one.
    // The result says why it failed: HRESULT_FROM_WIN32(ERROR_TIMEOUT) when
    // the time ran out, the writer then being left where it hangs.
    HRESULT Write(HANDLE process, const wchar_t* path, const DumpException* exception, const wchar_t* comment,
                  DWORD timeoutMs);

private:
    static DWORD WINAPI Run(void* self);
    HRESULT WriteNow();

    KernelHandle thread_;
    KernelHandle ready_;
    KernelHandle request_;
    KernelHandle done_;
    Library dbghelp_;
    // The job, read by the writer's thread once request_ is set. These stay
    // here, not on the asker's stack, for a writer given up on.
    volatile LONG quit_ = 0;
    volatile LONG jobAsked_ = 0;  // a job the writer's thread has not taken yet
    // Whether the dump in hand is kept or given up on: whichever of the
    // writer (once the dump is whole) and the asker (once its time is out)
    // comes first decides.
    enum JobState : LONG { kWriting, kKeeping, kGivenUp };
    volatile LONG job_ = kWriting;
    HANDLE process_ = nullptr;  // the asker's
    bool withException_ = false;
    DumpException exception_;
    wchar_t path_[MAX_PATH] = {};
    FixedText comment_;
    HRESULT result_ = E_PENDING;
};

// One budget for the writer's start (it loads dbghelp.dll) and the dump:
// starts `writer` unless it runs already, then writes as Write does.
HRESULT WriteDumpWithin(DumpWriter& writer, HANDLE process, const wchar_t* path, const DumpException* exception,
                        const wchar_t* comment, DWORD budgetMs);

// Deletes what a writer that was ended in the middle of a dump may have left
// at path: its partial file, should the writer have been ended between
// making it and marking it for deletion. One that a writer is writing now is
// left alone.
void RemoveUnfinishedDump(const wchar_t* path);
