#include "launcher/ProcessGuards.h"

#include <shlwapi.h>

#include <csignal>
#include <cstdlib>
#include <cwchar>

#include "base/Handles.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "log/VLogger.h"

namespace {

// Written by the launcher's one thread, read by whichever thread faults.
volatile LONG lastChanceExitCode = -1;
volatile LONG reporting = 0;

// Beside ZelUnst.log, which is opened in the current folder too.
constexpr wchar_t kDumpFileName[] = L"ZelUnst.dmp";
// Room for the line and the dump's hand-over; the faulting thread's own stack
// may be spent.
constexpr SIZE_T kReporterStackBytes = 256 * 1024;
// The reporter's line and dump, then the time to log it.
constexpr DWORD kCrashReportWaitMs = kDumpWaitMs + 5000;

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

// The one road of a crash and a hang report: the dump first, so that the line
// can say when there is none, then the line, then the end.
[[noreturn]] void ReportAndEnd(const std::wstring& line, EXCEPTION_POINTERS* exception, DWORD threadId,
                               DumpWriter& writer) {
    const bool dumped = writer.Write(kDumpFileName, exception, threadId, line, kDumpWaitMs) == S_OK;
    LogFinalLine((dumped ? line : line + L"; no dump written").c_str());
    EndProcess();
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
    const std::wstring line = UnhandledExceptionLine(
        record.ExceptionCode, modulePath.empty() ? nullptr : PathFindFileNameW(modulePath.c_str()), address - base);
    DumpWriter writer;
    writer.Start(0);  // Write waits for it
    ReportAndEnd(line, report.exception, report.threadId, writer);
}

// Runs on the faulting thread, which after a stack overflow has a page or two
// of stack left: the line and the dump are made on a thread of their own.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    // A fault while one is being reported (in the reporter, say) ends the run now.
    if (InterlockedExchange(&reporting, 1) != 0) EndProcess();
    CrashReport report{exception, GetCurrentThreadId()};
    const KernelHandle reporter(CreateThread(nullptr, kReporterStackBytes, ReportCrash, &report,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (reporter) WaitForSingleObject(reporter.Get(), kCrashReportWaitMs);
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

[[noreturn]] void ReportHangAndEnd(HANDLE hungThread, DWORD hungThreadId, const wchar_t* call, DWORD limitSeconds,
                                   DumpWriter& writer) {
    // A crash is being reported: it ends the run.
    if (InterlockedExchange(&reporting, 1) != 0) {
        for (;;) Sleep(INFINITE);
    }
    // Stopped for good: its stack must stay as the context says.
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    const bool stopped = SuspendThread(hungThread) != static_cast<DWORD>(-1) && GetThreadContext(hungThread, &context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = kHangExceptionCode;
    record.ExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(context.Eip));
    EXCEPTION_POINTERS where{&record, &context};
    ReportAndEnd(EngineHangLine(call, limitSeconds), stopped ? &where : nullptr, hungThreadId, writer);
}

std::wstring EngineHangLine(const wchar_t* call, DWORD limitSeconds) {
    return std::wstring(L"The engine library has not returned from ") + call + L" within " +
           std::to_wstring(limitSeconds) + L" s";
}

std::wstring UnhandledExceptionLine(DWORD code, const wchar_t* moduleName, std::uintptr_t offset) {
    wchar_t offsetText[16];
    swprintf(offsetText, 16, L"+0x%lX", static_cast<unsigned long>(offset));
    return L"Unhandled exception " + HexCode(code) + L" at " + (moduleName != nullptr ? moduleName : L"?") +
           offsetText;
}
