#include "system/MiniDump.h"

#include <dbghelp.h>

#include "base/Handles.h"
#include "system/ShellFolders.h"

namespace {

// Leaves the writing thread's stack out when another thread met the
// exception: it holds nothing but the writing (Wine takes all of it, its whole
// reserve). The thread itself stays listed: a reader may count on the list's
// size.
BOOL CALLBACK LeaveOutTheWritersStack(PVOID, const PMINIDUMP_CALLBACK_INPUT input,
                                      PMINIDUMP_CALLBACK_OUTPUT output) {
    if (input->CallbackType == ThreadCallback && input->Thread.ThreadId == GetCurrentThreadId()) {
        output->ThreadWriteFlags &= ~static_cast<ULONG>(ThreadWriteStack);
    }
    return TRUE;
}

}  // namespace

HRESULT WriteMiniDump(const wchar_t* path, EXCEPTION_POINTERS* exception, DWORD threadId) {
    const Library dbghelp = LoadSystemLibrary(L"dbghelp.dll");
    if (!dbghelp) return HRESULT_FROM_WIN32(GetLastError());
    const auto writeDump = reinterpret_cast<decltype(&MiniDumpWriteDump)>(
        reinterpret_cast<void*>(GetProcAddress(dbghelp.Get(), "MiniDumpWriteDump")));
    if (writeDump == nullptr) return HRESULT_FROM_WIN32(GetLastError());

    // CREATE_ALWAYS refuses to replace a read-only or hidden file.
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    FileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return HRESULT_FROM_WIN32(GetLastError());
    MINIDUMP_EXCEPTION_INFORMATION where{threadId, exception, FALSE};
    MINIDUMP_CALLBACK_INFORMATION callback{LeaveOutTheWritersStack, nullptr};
    if (!writeDump(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), MiniDumpNormal,
                   exception != nullptr ? &where : nullptr, nullptr,
                   threadId != GetCurrentThreadId() ? &callback : nullptr)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    return S_OK;
}
