// Stand-in for the engine's solution library "zeldecs.dll".
//
// Every call it receives is appended as one line to "zeldecs.record" beside
// the DLL, in the order received:
//   DLL_PROCESS_ATTACH
//   DllGetClassObject {class id} {interface id}
//   QueryInterface {interface id} | AddRef -> <count> | Release -> <count>
//   Initialize <argument> | Install <argument> | Uninstall | Repair | Uninitialize
//   DLL_PROCESS_DETACH FreeLibrary | DLL_PROCESS_DETACH ProcessExit
//
// "zeldecs.settings" beside the DLL, when present, holds Name=Value lines:
//   Initialize=<HRESULT>, Install=..., Uninstall=..., Uninitialize=...,
//   DllGetClassObject=...   what that call returns (default S_OK; hex with 0x)
//   Interface=none          DllGetClassObject hands back no interface
//   LoadByName=<file name>  Initialize, once recorded, loads that library by
//                           its bare name with its own folder made the
//                           current one for the call, as many libraries load
//                           their parts, and records
//                           "LoadLibrary <file name> loaded" or "... error <code>"
//   Fault=crash|crashinheap|stackoverflow|abort|failfast|hang|busyhang|
//         exitthread|faultlater
//                           Install, once recorded, faults that way instead
//                           of returning. crashinheap crashes while it holds
//                           the process heap's lock; hang waits for good;
//                           busyhang never returns either, allocating and
//                           freeing without end inside the heap's lock;
//                           exitthread ends the calling thread with exit code
//                           0 (a process whose last thread that is ends with
//                           0); faultlater returns, and a thread it started
//                           crashes FaultAfter milliseconds later (1000 unless
//                           set), the library pinned so that its code is still
//                           there then. It first records the C runtime's
//                           error mode, which it shares with the tool:
//                           "Fault crash with error mode 1"; a crash then
//                           records where it faulted:
//                           "Fault site zeldecs.dll+0x<offset>"
//   FaultIn=Uninstall|DLL_PROCESS_ATTACH|DLL_PROCESS_DETACH
//                           where the fault happens instead of Install (the
//                           detach code's when the library is freed)
//   StackPad=<bytes>        stackoverflow first takes that much more stack:
//                           with some pads Wine finds no room left to report
//                           the overflow and ends the thread instead
//   Fault=exitprocess|exit|terminateself
//                           Install ends the process with exit status 0:
//                           ExitProcess(0), the C runtime's exit(0) (its
//                           exit functions first), or TerminateProcess of
//                           itself
//   Fault=handledfault      probes a bad pointer with IsBadReadPtr, whose
//                           own handler takes the access violation, and goes
//                           on: "Bad pointer seen"
//   KeeperFate=end|freeze   before the fault, the tool's record keeper (the
//                           zelunst.exe this process started) is ended, or
//                           every thread of it suspended, and "Keeper ended"
//                           or "Keeper frozen" recorded
//   KeeperFate=endholding|freezeholding
//                           a crash's thread first starts one that waits for
//                           the keeper's dump to begin (ZelUnst.dmp.partial
//                           in the current folder), then suspends the
//                           crashing thread, as the keeper's dump writer does
//                           for a moment, and ends or freezes the keeper
//                           while it holds it so: "Keeper ended holding the
//                           faulting thread" or "Keeper frozen holding ...";
//                           with Fault=faultlater, Install returns only then
//   Leave=pathloop|loadslow|stdoutlock|stdoutpipe
//                           Install, once recorded, leaves a thread behind
//                           and returns as the settings say: one resolving
//                           paths without end (GetFullPathNameW,
//                           GetCurrentDirectoryW, GetEnvironmentVariableW),
//                           one loading and freeing zelhelper.dll beside it
//                           without end, 50 ms apart (its attach code as slow
//                           as its settings make it), one holding the C runtime's
//                           stdout lock for good, or one printing progress
//                           lines to stdout without end (into a pipe nobody
//                           reads it blocks there, holding the lock);
//                           records "Left a thread: <kind>"
//   LeaveIn=DllGetClassObject
//                           leaves that thread in DllGetClassObject instead
//   KeepLoaded=<file name>  Initialize loads that library from its own
//                           folder and keeps it to the process's end:
//                           "KeepLoaded <file name> loaded" or "... error <code>"
//   ReportInheritable=1     Initialize records how many inheritable handles
//                           this process holds on itself or a thread of it,
//                           which every child started with inheritance gets:
//                           "Inheritable handles on this process: <count>"
//
// Built a second time with ZELDECS_WITHOUT_CLASS_OBJECT: the same library
// without "DllGetClassObject".
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Handles.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "engine/ZelSolution.h"
#include "standins/common/Processes.h"
#include "system/Processes.h"

namespace {

// The module that holds the address; null for none.
HMODULE ModuleAt(const void* address) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(address), &module);
    return module;
}

// The folder of this DLL, with its trailing backslash, joined with fileName.
std::wstring BesideThisLibrary(const wchar_t* fileName) {
    std::wstring folder = ModulePath(ModuleAt(reinterpret_cast<const void*>(&BesideThisLibrary)));
    const size_t slash = folder.rfind(L'\\');
    folder.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return folder + fileName;
}

void Record(const std::string& line) {
    FileHandle file(CreateFileW(BesideThisLibrary(L"zeldecs.record").c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!file) return;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The value of "name=" in the settings file; empty when the file or the line is missing.
std::string Setting(const char* name) {
    FileHandle file(CreateFileW(BesideThisLibrary(L"zeldecs.settings").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return {};
    std::string text;
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) text.append(chunk, got);
    file.Reset();

    const std::string key = std::string(name) + "=";
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
        start = end + 1;
    }
    return {};
}

// What the named call is told to return: S_OK unless the settings say otherwise.
HRESULT ResultFor(const char* call) {
    const std::string value = Setting(call);
    if (value.empty()) return S_OK;
    return static_cast<HRESULT>(std::strtoul(value.c_str(), nullptr, 0));
}

// Loads the library the settings' "LoadByName" names, as described above.
void LoadByNameOnDemand() {
    const std::string name = Setting("LoadByName");
    if (name.empty()) return;
    wchar_t previous[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(BesideThisLibrary(L"").c_str());
    const Library library(LoadLibraryW(FromUtf8(name).c_str()));
    const DWORD error = GetLastError();
    if (length > 0 && length < MAX_PATH) SetCurrentDirectoryW(previous);
    Record("LoadLibrary " + name + (library ? std::string(" loaded") : " error " + std::to_string(error)));
}

// Never changed: the compiler cannot see that the pointer is null or that
// the recursion has no end, so the faults happen as written.
volatile int* volatile nowhere = nullptr;
volatile int recursionLimit = 0x7FFFFFFF;

// Sees a crash before any handler of the process does, and records the
// faulting instruction's place as its offset from this library's base, under
// the name the library was loaded by.
LONG CALLBACK RecordFaultSite(EXCEPTION_POINTERS* exception) {
    const void* address = exception->ExceptionRecord->ExceptionAddress;
    const HMODULE self = ModuleAt(reinterpret_cast<const void*>(&RecordFaultSite));
    if (ModuleAt(address) == self) {
        const std::wstring path = ModulePath(self);
        char offset[16];
        std::snprintf(offset, sizeof(offset), "+0x%lX",
                      static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(address) -
                                                 reinterpret_cast<std::uintptr_t>(self)));
        Record("Fault site " + ToUtf8(path.substr(path.rfind(L'\\') + 1)) + offset);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Ends ("end") or freezes ("freeze") the run's record keeper; "Keeper ended"
// or "Keeper frozen" and `note` are recorded first, as the run may be ended
// the moment its keeper is.
void TreatKeeper(const std::string& fate, const std::string& note) {
    const std::wstring tool = ModulePath();
    const std::wstring toolName = tool.substr(tool.rfind(L'\\') + 1);
    for (const DWORD keeperId : standin::ChildProcessesNamed(GetCurrentProcessId(), toolName.c_str())) {
        if (fate == "freeze") {
            Record("Keeper frozen" + note);
            SuspendThreadsOf(keeperId);
        } else if (fate == "end") {
            Record("Keeper ended" + note);
            const KernelHandle keeper(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, keeperId));
            if (keeper && TerminateProcess(keeper.Get(), 1)) WaitForSingleObject(keeper.Get(), 5000);
        }
    }
}

// Ends or freezes the run's record keeper, as the settings' "KeeperFate" asks.
void KeeperFateOnDemand() {
    const std::string fate = Setting("KeeperFate");
    if (fate == "freeze" || fate == "end") TreatKeeper(fate, "");
}

// What the holder of a thread about to crash is handed.
struct Hold {
    HANDLE crashing;  // its own handle on the thread, closed when done
    HANDLE started;   // set once it looks for the keeper's dump
};

// The thread that is about to crash, held as "KeeperFate=...holding" asks.
DWORD WINAPI HoldWhenTheKeeperDumps(void* parameter) {
    const Hold hold = *static_cast<const Hold*>(parameter);
    const KernelHandle thread(hold.crashing);
    const std::string fate = Setting("KeeperFate");
    SetEvent(hold.started);
    const ULONGLONG giveUpAt = GetTickCount64() + 20000;
    while (GetFileAttributesW(L"ZelUnst.dmp.partial") == INVALID_FILE_ATTRIBUTES && GetTickCount64() < giveUpAt) {
        Sleep(1);
    }
    SuspendThread(thread.Get());
    TreatKeeper(fate.substr(0, fate.size() - std::string("holding").size()), " holding the faulting thread");
    return 0;
}

// Holds `crashing` (a thread about to crash) as "KeeperFate=...holding" asks:
// once this returns, the holder looks for the keeper's dump. The holder's
// thread, which ends once it has treated the keeper; none when not asked.
KernelHandle HoldTheCrashOnDemand(HANDLE crashing) {
    const std::string fate = Setting("KeeperFate");
    if (fate != "freezeholding" && fate != "endholding") return KernelHandle();
    const KernelHandle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Hold hold{nullptr, started.Get()};
    DuplicateHandle(GetCurrentProcess(), crashing, GetCurrentProcess(), &hold.crashing, THREAD_SUSPEND_RESUME, FALSE,
                    0);
    KernelHandle holder(CreateThread(nullptr, 0, HoldWhenTheKeeperDumps, &hold, 0, nullptr));
    const HANDLE waits[] = {started.Get(), holder.Get()};
    WaitForMultipleObjects(2, waits, FALSE, 5000);
    return holder;
}

// Loads the library the settings' "KeepLoaded" names and keeps it.
void KeepLoadedOnDemand() {
    const std::string name = Setting("KeepLoaded");
    if (name.empty()) return;
    const HMODULE library = LoadLibraryW(BesideThisLibrary(FromUtf8(name).c_str()).c_str());
    const DWORD error = GetLastError();
    Record("KeepLoaded " + name + (library != nullptr ? std::string(" loaded") : " error " + std::to_string(error)));
}

DWORD WINAPI ResolvePathsWithoutEnd(void*) {
    wchar_t buffer[MAX_PATH];
    for (;;) {
        GetFullPathNameW(L"zeldecs.settings", MAX_PATH, buffer, nullptr);
        GetCurrentDirectoryW(MAX_PATH, buffer);
        GetEnvironmentVariableW(L"PATH", buffer, MAX_PATH);
    }
}

DWORD WINAPI LoadTheHelperWithoutEnd(void* started) {
    const std::wstring helper = BesideThisLibrary(L"zelhelper.dll");
    SetEvent(static_cast<HANDLE>(started));
    // A moment between the loads, as a library that loads its parts one by
    // one leaves the loader lock to others now and then.
    for (;;) {
        FreeLibrary(LoadLibraryW(helper.c_str()));
        Sleep(50);
    }
}

DWORD WINAPI HoldStdoutForGood(void* started) {
    _lock_file(stdout);
    SetEvent(static_cast<HANDLE>(started));
    Sleep(INFINITE);
    return 0;
}

DWORD WINAPI PrintWithoutEnd(void* started) {
    SetEvent(static_cast<HANDLE>(started));
    for (unsigned long line = 0;; ++line) std::printf("zeldecs progress line %lu\n", line);
}

// Leaves the thread the settings' "Leave" names, running once this returns,
// when `place` is where "LeaveIn" puts it (Install by default).
void LeaveAThreadOnDemand(const char* place) {
    const std::string where = Setting("LeaveIn");
    if (where != place && !(where.empty() && std::string(place) == "Install")) return;
    const std::string kind = Setting("Leave");
    LPTHREAD_START_ROUTINE routine = nullptr;
    if (kind == "pathloop") routine = ResolvePathsWithoutEnd;
    if (kind == "loadslow") routine = LoadTheHelperWithoutEnd;
    if (kind == "stdoutlock") routine = HoldStdoutForGood;
    if (kind == "stdoutpipe") routine = PrintWithoutEnd;
    if (routine == nullptr) return;
    // Pinned: the thread's code stays after the library is freed.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&LeaveAThreadOnDemand), &self);
    const KernelHandle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CloseHandle(CreateThread(nullptr, 0, routine, started.Get(), 0, nullptr));
    WaitForSingleObject(started.Get(), 5000);
    // Inside its first call by now.
    Sleep(100);
    Record("Left a thread: " + kind);
}

// Inheritable handles this process holds on itself or on one of its threads,
// which any child started with inheritance would get.
void ReportInheritableHandlesOnDemand() {
    if (Setting("ReportInheritable") != "1") return;
    int count = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags) || !(flags & HANDLE_FLAG_INHERIT)) continue;
        if (GetProcessId(handle) == GetCurrentProcessId() || GetProcessIdOfThread(handle) == GetCurrentProcessId()) {
            ++count;
        }
    }
    Record("Inheritable handles on this process: " + std::to_string(count));
}

DWORD WINAPI FaultLater(void* milliseconds) {
    Sleep(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(milliseconds)));
    *nowhere = 1;
    return 0;
}

int RecurseWithoutEnd(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth >= recursionLimit) return frame[0];
    return RecurseWithoutEnd(depth + 1) + frame[0];
}

// Faults as the settings' "Fault" asks when `place` is where "FaultIn" puts
// the fault (Install by default); returns when it asks for none.
void FaultOnDemand(const char* place) {
    const std::string where = Setting("FaultIn");
    if (where != place && !(where.empty() && std::string(place) == "Install")) return;
    const std::string fault = Setting("Fault");
    if (fault.empty()) return;
    Record("Fault " + fault + " with error mode " + std::to_string(_set_error_mode(_REPORT_ERRMODE)));
    KeeperFateOnDemand();
    if (fault == "crash" || fault == "crashinheap") {
        AddVectoredExceptionHandler(1, RecordFaultSite);
        // As heap corruption found inside HeapFree would: the lock stays taken.
        if (fault == "crashinheap") HeapLock(GetProcessHeap());
        HoldTheCrashOnDemand(GetCurrentThread());
        *nowhere = 1;
    }
    if (fault == "stackoverflow") {
        const size_t pad = std::strtoul(Setting("StackPad").c_str(), nullptr, 10);
        volatile char* padding = static_cast<volatile char*>(__builtin_alloca(pad + 1));
        padding[pad] = 0;
        RecurseWithoutEnd(padding[pad]);
    }
    if (fault == "abort") std::abort();
    if (fault == "hang") {
        for (;;) Sleep(INFINITE);
    }
    // Busy, not waiting, and nearly always inside the heap's lock, as code that
    // walks the heap or allocates in batches under HeapLock is. (Small blocks of
    // one size alone would not do: Wine serves those without the lock.)
    if (fault == "busyhang") {
        const HANDLE heap = GetProcessHeap();
        for (;;) {
            HeapLock(heap);
            for (int i = 0; i < 1000; ++i) HeapFree(heap, 0, HeapAlloc(heap, 0, 20000));
            HeapUnlock(heap);
        }
    }
    if (fault == "exitthread") ExitThread(0);
    if (fault == "exitprocess") ExitProcess(0);
    if (fault == "exit") std::exit(0);
    if (fault == "handledfault") {
        Record(IsBadReadPtr(reinterpret_cast<const void*>(16), 1) ? "Bad pointer seen" : "Pointer readable");
    }
    if (fault == "terminateself") TerminateProcess(GetCurrentProcess(), 0);
    if (fault == "faultlater") {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&FaultLater), &self);
        const std::string after = Setting("FaultAfter");
        const ULONG_PTR milliseconds = after.empty() ? 1000 : std::strtoul(after.c_str(), nullptr, 10);
        // Its holder, if any, is ready before its time runs.
        const KernelHandle later(
            CreateThread(nullptr, 0, FaultLater, reinterpret_cast<void*>(milliseconds), CREATE_SUSPENDED, nullptr));
        const KernelHandle holder = HoldTheCrashOnDemand(later.Get());
        ResumeThread(later.Get());
        // With its keeper treated while it dumps, Install returns once that
        // is done: the crash is then under way whatever the machine's load,
        // and the run cannot end before it.
        if (holder) WaitForSingleObject(holder.Get(), 30000);
    }
    // __fastfail, as a /GS check does when it finds its stack cookie overwritten.
    if (fault == "failfast") asm volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
}

std::string GuidText(const GUID& id) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

class Solution final : public IZelSolution {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        Record("QueryInterface " + GuidText(iid));
        if (out == nullptr) return E_POINTER;
        if (!IsEqualGUID(iid, __uuidof(IUnknown)) && !IsEqualGUID(iid, IID_IZelSolution)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        InterlockedIncrement(&references_);
        *out = static_cast<IZelSolution*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        const LONG count = InterlockedIncrement(&references_);
        Record("AddRef -> " + std::to_string(count));
        return static_cast<ULONG>(count);
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = InterlockedDecrement(&references_);
        Record("Release -> " + std::to_string(count));
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }
    HRESULT STDMETHODCALLTYPE Install(LONG reserved) override {
        Record("Install " + std::to_string(reserved));
        FaultOnDemand("Install");
        LeaveAThreadOnDemand("Install");
        return ResultFor("Install");
    }
    HRESULT STDMETHODCALLTYPE Uninstall() override {
        Record("Uninstall");
        FaultOnDemand("Uninstall");
        return ResultFor("Uninstall");
    }
    HRESULT STDMETHODCALLTYPE Repair() override {
        Record("Repair");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Initialize(LONG reserved) override {
        Record("Initialize " + std::to_string(reserved));
        LoadByNameOnDemand();
        KeepLoadedOnDemand();
        ReportInheritableHandlesOnDemand();
        return ResultFor("Initialize");
    }
    HRESULT STDMETHODCALLTYPE Uninitialize() override {
        Record("Uninitialize");
        return ResultFor("Uninitialize");
    }

private:
    ~Solution() = default;
    LONG references_ = 1;
};

}  // namespace

#ifndef ZELDECS_WITHOUT_CLASS_OBJECT
// The solution object itself, not a class factory, for the solution's class
// and interface identifiers.
extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID classId, REFIID interfaceId, LPVOID* out) {
    Record("DllGetClassObject " + GuidText(classId) + " " + GuidText(interfaceId));
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(classId, CLSID_ZelSolution)) return CLASS_E_CLASSNOTAVAILABLE;
    if (!IsEqualGUID(interfaceId, IID_IZelSolution)) return E_NOINTERFACE;
    LeaveAThreadOnDemand("DllGetClassObject");
    if (Setting("Interface") != "none") *out = static_cast<IZelSolution*>(new Solution());
    return ResultFor("DllGetClassObject");
}
#endif

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        Record("DLL_PROCESS_ATTACH");
        FaultOnDemand("DLL_PROCESS_ATTACH");
    } else if (reason == DLL_PROCESS_DETACH) {
        // A null reserved pointer means FreeLibrary, anything else the end of the process.
        Record(reserved == nullptr ? "DLL_PROCESS_DETACH FreeLibrary" : "DLL_PROCESS_DETACH ProcessExit");
        if (reserved == nullptr) FaultOnDemand("DLL_PROCESS_DETACH");
    }
    return TRUE;
}
