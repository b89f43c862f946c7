#include "system/MiniDump.h"

#include <dbghelp.h>

#include <cstdint>
#include <cwchar>

#include "system/LibrarySearch.h"

namespace {

// In a dump of the writer's own process, leaves the writing thread's stack
// out: it holds nothing but the writing (Wine takes all of it, its whole
// reserve). The thread itself stays listed: a reader may count on the list's
// size. A dump of another process holds no thread of the writer's.
BOOL CALLBACK LeaveOutTheWritersStack(PVOID, const PMINIDUMP_CALLBACK_INPUT input,
                                      PMINIDUMP_CALLBACK_OUTPUT output) {
    if (input->CallbackType == ThreadCallback && input->Thread.ThreadId == GetCurrentThreadId()) {
        output->ThreadWriteFlags &= ~static_cast<ULONG>(ThreadWriteStack);
    }
    return TRUE;
}

HRESULT LastError() { return HRESULT_FROM_WIN32(GetLastError()); }

// A dump being written lies under its name and this, marked for deletion.
constexpr wchar_t kPartialSuffix[] = L".partial";
// A whole dump takes its name in milliseconds.
constexpr DWORD kNamingWaitMs = 2000;

// Deleted once the last handle on the file is closed, or kept after all.
bool MarkForDeletion(HANDLE file, bool deleted) {
    FILE_DISPOSITION_INFO disposition{deleted};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

}  // namespace

EXCEPTION_RECORD HangRecordAt(const CONTEXT& context) {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = kHangExceptionCode;
    record.ExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(context.Eip));
    return record;
}

DumpWriter::~DumpWriter() {
    if (!thread_) return;
    InterlockedExchange(&quit_, 1);
    SetEvent(request_.Get());
    if (WaitForSingleObject(thread_.Get(), kDumpWaitMs) == WAIT_OBJECT_0) return;
    // Still inside a dump: its handles stay open for it.
    thread_.Release();
    ready_.Release();
    request_.Release();
    done_.Release();
    dbghelp_.Release();
}

bool DumpWriter::Start(DWORD waitMs) {
    if (thread_) return WaitForSingleObject(ready_.Get(), waitMs) == WAIT_OBJECT_0;
    ready_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    request_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    done_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!ready_ || !request_ || !done_) return false;
    thread_.Reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    return thread_ && WaitForSingleObject(ready_.Get(), waitMs) == WAIT_OBJECT_0;
}

DWORD WINAPI DumpWriter::Run(void* self) {
    DumpWriter& writer = *static_cast<DumpWriter*>(self);
    writer.dbghelp_ = LoadSystemLibrary(L"dbghelp.dll");
    SetEvent(writer.ready_.Get());
    // A job asked for is done even when the end is asked for at once after it:
    // the two requests may come as one.
    while (WaitForSingleObject(writer.request_.Get(), INFINITE) == WAIT_OBJECT_0) {
        if (InterlockedExchange(&writer.jobAsked_, 0) != 0) {
            writer.result_ = writer.WriteNow();
            SetEvent(writer.done_.Get());
        }
        if (InterlockedCompareExchange(&writer.quit_, 0, 0) != 0) break;
    }
    return 0;
}

HRESULT DumpWriter::WriteNow() {
    if (!dbghelp_) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    const auto writeDump = reinterpret_cast<decltype(&MiniDumpWriteDump)>(
        reinterpret_cast<void*>(GetProcAddress(dbghelp_.Get(), "MiniDumpWriteDump")));
    if (writeDump == nullptr) return LastError();
    // The old dump belongs to an earlier run: it goes whatever becomes of this
    // one. A read-only or hidden one would refuse both the deletion and the
    // replacement.
    SetFileAttributesW(path_, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path_);
    const FixedText partial = FixedText() << path_ << kPartialSuffix;
    SetFileAttributesW(partial.Text(), FILE_ATTRIBUTE_NORMAL);
    FileHandle file(CreateFileW(partial.Text(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastError();
    if (!MarkForDeletion(file.Get(), true)) {
        const HRESULT error = LastError();
        file.Reset();
        DeleteFileW(partial.Text());
        return error;
    }
    MINIDUMP_EXCEPTION_INFORMATION where{exception_.threadId, exception_.pointers, exception_.inDumpedProcess};
    MINIDUMP_USER_STREAM commentStream{CommentStreamW, static_cast<ULONG>((comment_.Length() + 1) * sizeof(wchar_t)),
                                       const_cast<wchar_t*>(comment_.Text())};
    MINIDUMP_USER_STREAM_INFORMATION streams{1, &commentStream};
    MINIDUMP_CALLBACK_INFORMATION callback{LeaveOutTheWritersStack, nullptr};
    if (!writeDump(process_, GetProcessId(process_), file.Get(), MiniDumpNormal, withException_ ? &where : nullptr,
                   comment_.Length() == 0 ? nullptr : &streams, &callback)) {
        return LastError();
    }
    // The asker gave up on it: it goes with its handle.
    if (InterlockedCompareExchange(&job_, kKeeping, kWriting) != kWriting) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    if (!MarkForDeletion(file.Get(), false)) return LastError();
    file.Reset();
    if (!MoveFileExW(partial.Text(), path_, MOVEFILE_REPLACE_EXISTING)) {
        const HRESULT error = LastError();
        DeleteFileW(partial.Text());
        return error;
    }
    return S_OK;
}

HRESULT DumpWriter::Write(HANDLE process, const wchar_t* path, const DumpException* exception,
                          const wchar_t* comment, DWORD timeoutMs) {
    if (!thread_) return E_HANDLE;
    // Room for the partial file's name too.
    if (wcsncpy_s(path_, MAX_PATH - (sizeof(kPartialSuffix) / sizeof(wchar_t) - 1), path, _TRUNCATE) != 0) {
        return E_INVALIDARG;
    }
    process_ = process;
    withException_ = exception != nullptr;
    if (exception != nullptr) exception_ = *exception;
    comment_ = FixedText() << comment;
    job_ = kWriting;
    InterlockedExchange(&jobAsked_, 1);
    SetEvent(request_.Get());
    DWORD waited = WaitForSingleObject(done_.Get(), timeoutMs);
    // A dump that turned whole as the time ran out only takes its name.
    if (waited == WAIT_TIMEOUT && InterlockedCompareExchange(&job_, kGivenUp, kWriting) == kKeeping) {
        waited = WaitForSingleObject(done_.Get(), kNamingWaitMs);
    }
    return waited == WAIT_OBJECT_0   ? result_
           : waited == WAIT_TIMEOUT ? HRESULT_FROM_WIN32(ERROR_TIMEOUT)
                                    : LastError();
}

HRESULT WriteDumpWithin(DumpWriter& writer, HANDLE process, const wchar_t* path, const DumpException* exception,
                        const wchar_t* comment, DWORD budgetMs) {
    const ULONGLONG deadline = GetTickCount64() + budgetMs;
    if (!writer.Start(budgetMs)) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    const ULONGLONG now = GetTickCount64();
    return writer.Write(process, path, exception, comment, now < deadline ? static_cast<DWORD>(deadline - now) : 0);
}

void RemoveUnfinishedDump(const wchar_t* path) {
    // A writer holds its file without sharing it: the deletion is refused then.
    DeleteFileW((FixedText() << path << kPartialSuffix).Text());
}
