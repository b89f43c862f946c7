#include "launcher/ProcessGuards.h"

#include <shlwapi.h>

#include <csignal>
#include <cstdlib>
#include <cwchar>

#include "base/Handles.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "log/VLogger.h"
#include "system/MiniDump.h"

namespace {

// Written by the launcher's one thread, read by whichever thread faults.
volatile LONG lastChanceExitCode = -1;
volatile LONG reporting = 0;

// Beside ZelUnst.log, which is opened in the current folder too.
constexpr wchar_t kDumpFileName[] = L"ZelUnst.dmp";
// The report must not hold the run up for ever: a fault inside the heap or
// the loader can leave a lock held that the reporting thread then waits on.
constexpr DWORD kReportTimeoutMs = 30000;
// Room for the dump writer; the faulting thread's own stack may be spent.
constexpr SIZE_T kReporterStackBytes = 256 * 1024;

// WER_FAULT_REPORTING_NO_UI, which this toolchain's werapi.h lacks.
constexpr DWORD kWerFaultReportingNoUi = 0x20;

// A kernel32 function looked up, not imported: the exe must still start where
// the call is missing. Null then.
template <typename Function>
Function Kernel32Function(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

[[noreturn]] void EndProcess() {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(lastChanceExitCode));
    // TerminateProcess on the own process does not return; this is never reached.
    std::_Exit(static_cast<int>(lastChanceExitCode));
}

void LogFinalLine(const wchar_t* text) {
    runLog.DropUnfinishedLine();
    LogLine(text);
}

struct CrashReport {
    EXCEPTION_POINTERS* exception;
    DWORD threadId;
};

DWORD WINAPI ReportCrash(void* parameter) {
    const CrashReport& report = *static_cast<const CrashReport*>(parameter);
    const EXCEPTION_RECORD& record = *report.exception->ExceptionRecord;
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(record.ExceptionAddress), &module);
    const std::wstring modulePath = module != nullptr ? ModulePath(module) : std::wstring();
    // A module whose name cannot be read counts as none: the offset is then the address.
    const auto base = modulePath.empty() ? 0 : reinterpret_cast<std::uintptr_t>(module);
    const auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
    LogFinalLine(UnhandledExceptionLine(record.ExceptionCode,
                                        modulePath.empty() ? nullptr : PathFindFileNameW(modulePath.c_str()),
                                        address - base)
                     .c_str());
    WriteMiniDump(kDumpFileName, report.exception, report.threadId);
    return 0;
}

// Runs on the faulting thread, which after a stack overflow has a page or two
// of stack left: the line and the dump are made on a thread of their own.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    // A fault while one is being reported (in the reporter, say) ends the run now.
    if (InterlockedExchange(&reporting, 1) != 0) EndProcess();
    CrashReport report{exception, GetCurrentThreadId()};
    const KernelHandle reporter(CreateThread(nullptr, kReporterStackBytes, ReportCrash, &report,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (reporter) WaitForSingleObject(reporter.Get(), kReportTimeoutMs);
    EndProcess();
}

void OnAbort(int) {
    if (InterlockedExchange(&reporting, 1) == 0) LogFinalLine(L"Abnormal termination");
    EndProcess();
}

}  // namespace

bool RestrictLibrarySearch() {
    const auto setDefaultDirectories = Kernel32Function<BOOL(WINAPI*)(DWORD)>("SetDefaultDllDirectories");
    return setDefaultDirectories != nullptr &&
           setDefaultDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void InstallLastChanceHandlers() {
    SetUnhandledExceptionFilter(OnUnhandledException);
    // abort() writes its message to stderr instead of a box, then raises
    // SIGABRT; std::terminate ends in abort() too.
    _set_error_mode(_OUT_TO_STDERR);
    std::signal(SIGABRT, OnAbort);
    // A fail-fast (a /GS stack cookie found overwritten, heap corruption on
    // Windows 8 and later) reaches no filter: Windows Error Reporting takes the
    // process, and its window must not wait for an answer either. This process
    // only: child processes do not inherit the flag.
    const auto werSetFlags = Kernel32Function<HRESULT(WINAPI*)(DWORD)>("WerSetFlags");
    if (werSetFlags != nullptr) werSetFlags(kWerFaultReportingNoUi);
}

void SetLastChanceExitCode(int exitCode) { InterlockedExchange(&lastChanceExitCode, exitCode); }

std::wstring UnhandledExceptionLine(DWORD code, const wchar_t* moduleName, std::uintptr_t offset) {
    wchar_t offsetText[16];
    swprintf(offsetText, 16, L"+0x%lX", static_cast<unsigned long>(offset));
    return L"Unhandled exception " + HexCode(code) + L" at " + (moduleName != nullptr ? moduleName : L"?") +
           offsetText;
}
