#pragma once
// Owners for the Windows handles the tool opens. Each closes its handle when it
// goes out of scope, on every path out of the operation that opened it.

#include <windows.h>

#include <utility>

template <typename Handle, typename Traits>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(Handle handle) : handle_(handle) {}
    ~UniqueResource() { Reset(); }
    UniqueResource(UniqueResource&& other) noexcept : handle_(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Handle Get() const { return handle_; }
    bool Valid() const { return handle_ != Traits::Invalid(); }
    explicit operator bool() const { return Valid(); }
    Handle Release() { return std::exchange(handle_, Traits::Invalid()); }
    void Reset(Handle handle = Traits::Invalid()) {
        if (Valid()) Traits::Close(handle_);
        handle_ = handle;
    }
    // For out-parameters of the Win32 calls that hand a handle back.
    Handle* Put() {
        Reset();
        return &handle_;
    }

private:
    Handle handle_ = Traits::Invalid();
};

struct KernelHandleTraits {
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
// CreateFileW, CreateToolhelp32Snapshot: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { FindClose(h); }
};
struct ServiceHandleTraits {
    static SC_HANDLE Invalid() { return nullptr; }
    static void Close(SC_HANDLE h) { CloseServiceHandle(h); }
};
struct RegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
struct LibraryTraits {
    static HMODULE Invalid() { return nullptr; }
    static void Close(HMODULE h) { FreeLibrary(h); }
};
struct DesktopTraits {
    static HDESK Invalid() { return nullptr; }
    static void Close(HDESK h) { CloseDesktop(h); }
};
struct WindowStationTraits {
    static HWINSTA Invalid() { return nullptr; }
    static void Close(HWINSTA h) { CloseWindowStation(h); }
};
struct LocalMemoryTraits {
    static HLOCAL Invalid() { return nullptr; }
    static void Close(HLOCAL h) { LocalFree(h); }
};

using KernelHandle = UniqueResource<HANDLE, KernelHandleTraits>;
using FileHandle = UniqueResource<HANDLE, FileHandleTraits>;
using FindHandle = UniqueResource<HANDLE, FindHandleTraits>;
using ServiceHandle = UniqueResource<SC_HANDLE, ServiceHandleTraits>;
using RegKey = UniqueResource<HKEY, RegKeyTraits>;
using Library = UniqueResource<HMODULE, LibraryTraits>;
using Desktop = UniqueResource<HDESK, DesktopTraits>;
using WindowStation = UniqueResource<HWINSTA, WindowStationTraits>;
using LocalMemory = UniqueResource<HLOCAL, LocalMemoryTraits>;

// Both handles of a started child process.
struct ProcessHandles {
    KernelHandle process;
    KernelHandle thread;
    explicit ProcessHandles(const PROCESS_INFORMATION& info) : process(info.hProcess), thread(info.hThread) {}
    ProcessHandles() = default;
};
