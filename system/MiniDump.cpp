#include "system/MiniDump.h"

#include <dbghelp.h>

#include <cstdint>

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
    quit_ = true;
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
    while (WaitForSingleObject(writer.request_.Get(), INFINITE) == WAIT_OBJECT_0 && !writer.quit_) {
        writer.result_ = writer.WriteNow();
        SetEvent(writer.done_.Get());
    }
    return 0;
}

HRESULT DumpWriter::WriteNow() {
    const FileHandle file(file_);
    if (!dbghelp_) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    const auto writeDump = reinterpret_cast<decltype(&MiniDumpWriteDump)>(
        reinterpret_cast<void*>(GetProcAddress(dbghelp_.Get(), "MiniDumpWriteDump")));
    if (writeDump == nullptr) return LastError();
    MINIDUMP_EXCEPTION_INFORMATION where{exception_.threadId, exception_.pointers, exception_.inDumpedProcess};
    MINIDUMP_USER_STREAM commentStream{CommentStreamW, static_cast<ULONG>((comment_.size() + 1) * sizeof(wchar_t)),
                                       const_cast<wchar_t*>(comment_.c_str())};
    MINIDUMP_USER_STREAM_INFORMATION streams{1, &commentStream};
    MINIDUMP_CALLBACK_INFORMATION callback{LeaveOutTheWritersStack, nullptr};
    if (!writeDump(process_, GetProcessId(process_), file.Get(), MiniDumpNormal, withException_ ? &where : nullptr,
                   comment_.empty() ? nullptr : &streams, &callback)) {
        return LastError();
    }
    return S_OK;
}

HRESULT DumpWriter::Write(HANDLE process, const wchar_t* path, const DumpException* exception,
                          const std::wstring& comment, DWORD timeoutMs) {
    if (!thread_) return E_HANDLE;
    // CREATE_ALWAYS refuses to replace a read-only or hidden file.
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    FileHandle file(
        CreateFileW(path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastError();
    if (!MarkForDeletion(file.Get(), true)) {
        const HRESULT error = LastError();
        file.Reset();
        DeleteFileW(path);
        return error;
    }
    // The writer writes through a handle of its own: one given up on may still
    // be writing when this one is closed, and keeps the file marked until its
    // process ends.
    HANDLE writersHandle = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), file.Get(), GetCurrentProcess(), &writersHandle, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return LastError();
    }
    file_ = writersHandle;
    process_ = process;
    withException_ = exception != nullptr;
    if (exception != nullptr) exception_ = *exception;
    comment_ = comment;
    SetEvent(request_.Get());
    const DWORD waited = WaitForSingleObject(done_.Get(), timeoutMs);
    const HRESULT result = waited == WAIT_OBJECT_0   ? result_
                           : waited == WAIT_TIMEOUT ? HRESULT_FROM_WIN32(ERROR_TIMEOUT)
                                                    : LastError();
    if (FAILED(result)) return result;
    return MarkForDeletion(file.Get(), false) ? S_OK : LastError();
}
