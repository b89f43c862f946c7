// Stand-in for the protection product's main program. It stays running until
// it is ended, unless delay_ms tells it to end by itself after that time.
// hold_file keeps a file open without sharing (a path relative to its own
// folder, or a full path), as the running program holds its product files;
// with hold_readable it holds the file for reading and lets others read it
// too, but not write, move or delete it (a copy under another name serves as
// a holder that the update does not end); hold_ms lets go of it after that
// long, counted from its start or from the moment the path hold_ms_after
// appears (a scanner that holds a file for a moment);
// load_library keeps a library loaded (relative or full path, as hold_file),
// as the desktop shell keeps a shell extension;
// update_mutex_ms makes it own the product's update mutex for that long
// (0xFFFFFFFF or -1: until it ends, so an ending leaves the mutex abandoned).
#include "base/Handles.h"
#include "base/Text.h"
#include "standins/common/CommandLineProgram.h"
#include "system/Products.h"

namespace {

std::wstring ResolveBesideSelf(const standin::SelfPaths& self, const std::wstring& path) {
    const bool absolute = path.size() > 1 && (path[1] == L':' || (path[0] == L'\\' && path[1] == L'\\'));
    return absolute ? path : self.folder + L"\\" + path;
}

FileHandle HoldFile(const standin::Invocation& invocation) {
    const std::optional<std::string> name = invocation.settings.Find(L"", standin::kHoldFile);
    if (!name || name->empty()) return FileHandle();
    const std::wstring path = ResolveBesideSelf(invocation.self, FromUtf8(*name));
    const bool readable = invocation.settings.Flag(L"", standin::kHoldReadable);
    FileHandle file(CreateFileW(path.c_str(), readable ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                                readable ? FILE_SHARE_READ : 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    const DWORD error = file ? ERROR_SUCCESS : GetLastError();
    standin::AppendRecord(invocation.self, standin::EventFields("hold_file", {{"path", ToUtf8(path)},
                                                                             {"readable", readable ? "1" : "0"},
                                                                             {"error", std::to_string(error)}}));
    return file;
}

// Closes the held file hold_ms after its start, or after hold_ms_after
// appears; returns at once without hold_ms.
void LetGoOfHeldFile(const standin::Invocation& invocation, FileHandle& file) {
    if (!file || !invocation.settings.Find(L"", standin::kHoldMs)) return;
    const std::optional<std::string> after = invocation.settings.Find(L"", standin::kHoldMsAfter);
    if (after && !after->empty()) {
        const std::wstring path = ResolveBesideSelf(invocation.self, FromUtf8(*after));
        while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(10);
    }
    Sleep(invocation.settings.Number(L"", standin::kHoldMs, 0));
    file.Reset();
    standin::AppendRecord(invocation.self, standin::EventFields("hold_released"));
}

// Loads load_library and never frees it. The module stays loaded, named
// where it was loaded from, whatever becomes of its file.
void LoadLibraryToKeep(const standin::Invocation& invocation) {
    const std::optional<std::string> name = invocation.settings.Find(L"", standin::kLoadLibrary);
    if (!name || name->empty()) return;
    const std::wstring path = ResolveBesideSelf(invocation.self, FromUtf8(*name));
    const HMODULE library = LoadLibraryW(path.c_str());
    const DWORD error = library != nullptr ? ERROR_SUCCESS : GetLastError();
    standin::AppendRecord(invocation.self, standin::EventFields("load_library", {{"path", ToUtf8(path)},
                                                                                {"error", std::to_string(error)}}));
}

// Owns the update mutex on this thread; a null handle when not asked to. The
// mutex may exist already (another holder, or a test that opened it): then it
// is waited for like any other owner's.
KernelHandle OwnUpdateMutex(const standin::Invocation& invocation) {
    if (!invocation.settings.Find(L"", standin::kUpdateMutexMs)) return KernelHandle();
    KernelHandle mutex(CreateMutexW(nullptr, FALSE, products::kUpdateMutex));
    const DWORD waited = mutex ? WaitForSingleObject(mutex.Get(), INFINITE) : WAIT_FAILED;
    standin::AppendRecord(invocation.self, standin::EventFields("mutex_owned", {{"wait", standin::Hex32(waited)}}));
    return mutex;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const standin::Invocation invocation =
        standin::BeginInvocation({{L"", 0, nullptr}, {standin::kAnyOption, 0, nullptr}}, nullptr);
    const standin::Settings& settings = invocation.settings;
    LoadLibraryToKeep(invocation);
    FileHandle heldFile = HoldFile(invocation);
    LetGoOfHeldFile(invocation, heldFile);
    const KernelHandle mutex = OwnUpdateMutex(invocation);
    const DWORD mutexMs = settings.Number(L"", standin::kUpdateMutexMs, 0);
    if (mutex && mutexMs != INFINITE) {
        Sleep(mutexMs);
        ReleaseMutex(mutex.Get());
        standin::AppendRecord(invocation.self, standin::EventFields("mutex_released"));
    }
    if (!settings.Find(L"", standin::kDelayMs) || settings.Flag(L"", standin::kHang)) {
        for (;;) Sleep(INFINITE);
    }
    Sleep(settings.Number(L"", standin::kDelayMs, 0));
    const DWORD exitCode = settings.Number(L"", standin::kExitCode, 0);
    standin::AppendRecord(invocation.self, standin::EventFields("exit", {{"exit_code", std::to_string(exitCode)}}));
    return static_cast<int>(exitCode);
}
