#include "records/LastChance.h"

#include <csignal>
#include <cstdlib>

#include "log/ReportLines.h"
#include "records/InsideReport.h"
#include "records/KeeperSignals.h"
#include "records/ReportClaim.h"
#include "records/ReportHandOver.h"
#include "system/LibrarySearch.h"

namespace {

// WER_FAULT_REPORTING_NO_UI, which this toolchain's werapi.h lacks.
constexpr DWORD kWerFaultReportingNoUi = 0x20;

// The run's last-chance exit code; the hand-over carries a copy for the keeper.
volatile LONG lastChanceExitCode = -1;

// Runs on the faulting thread, which after a stack overflow has a page or two
// of stack left, and may hold the heap's lock or the loader's: it records,
// signals and waits; a report from inside is made on a thread of its own.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    AnnounceFailure();
    if (!ClaimReport()) WaitForTheReportUnderWay();
    const ULONGLONG deadline = GetTickCount64() + kReportBudgetMs;
    runHandOver.exceptionCode = exception->ExceptionRecord->ExceptionCode;
    runHandOver.exceptionAddress = exception->ExceptionRecord->ExceptionAddress;
    runHandOver.faultingThreadId = GetCurrentThreadId();
    runHandOver.exception = exception;
    // A keeper that took the report and did not end the run leaves it to the
    // run, with what is left of the time.
    if (AskKeeper(KeeperRequest::Crash) == KeeperAnswer::Taken) WaitForKeeperToEndTheRun(kReportWaitMs);
    ReportCrashFromInside(exception, DumpTimeLeft(deadline));
}

// Whether the calling thread's innermost exception handler is the system's
// own (ntdll.dll's): the loader's, which takes whatever the code it called
// does not handle. A handler of the library's, or of a system function that
// probes memory (IsBadReadPtr), takes the fault itself.
bool OnlyTheLoaderHandles() {
    // The chain's head, at the start of the thread's information block (fs:0 on x86).
    const EXCEPTION_REGISTRATION_RECORD* innermost = nullptr;
    asm volatile("movl %%fs:0, %0" : "=r"(innermost));
    if (innermost == nullptr || innermost == reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD*>(-1)) return true;
    HMODULE holder = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(innermost->Handler), &holder);
    return holder != nullptr && holder == GetModuleHandleW(L"ntdll.dll");
}

// A fault in the engine library's detach code while the run frees it: the
// loader may catch it and let FreeLibrary return as if nothing happened (Wine's
// does), so it is taken here, before the loader's handler sees it, as the
// crash it is. Only faults (NTSTATUS errors) of the thread that frees the
// library, and only those that no handler but the loader's would take: an
// exception the library raises on purpose (a C++ one, say), or a fault it
// catches itself (a pointer probed), is left to it.
LONG CALLBACK OnFaultInDetachCode(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (static_cast<EngineCall>(runHandOver.call) != EngineCall::Detach ||
        GetCurrentThreadId() != static_cast<DWORD>(runHandOver.callingThreadId) || (code & 0xF0000000) != 0xC0000000 ||
        !OnlyTheLoaderHandles()) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    return OnUnhandledException(exception);
}

void OnAbort(int) {
    AnnounceFailure();
    if (!ClaimReport()) WaitForTheReportUnderWay();
    if (AskKeeper(KeeperRequest::Abort) == KeeperAnswer::Taken) WaitForKeeperToEndTheRun(kReportWaitMs);
    ReportAbortFromInside();
}

// The process is being ended through ExitProcess (every other thread may be
// gone already, one of them holding the heap's lock), or through the C
// runtime's exit: nothing here needs the heap.
[[noreturn]] void EndRunEndedByExitProcess() {
    // Ended first, so that it does not log the run's end as one without a report.
    EndKeeperStillThere();
    WriteReportLine(ExitProcessLine(EngineCallName(static_cast<EngineCall>(runHandOver.call))));
    EndWithLastChanceExitCode();
}

// The watch on ExitProcess (WatchForExitProcess): set once, before the run's
// other threads start.
struct ExitProcessWatch {
    DWORD index = FLS_OUT_OF_INDEXES;  // the fiber-local slot every thread of the run fills
    BOOLEAN(WINAPI* shutdownInProgress)() = nullptr;
};
ExitProcessWatch exitProcessWatch;

// A thread's fiber-local data ends: with the thread, or with the process.
void NTAPI OnFiberLocalEnd(void*) {
    if (exitProcessWatch.shutdownInProgress()) EndRunEndedByExitProcess();
}

// The C runtime's exit() was called: this runs first of its exit functions,
// before the static destructors (the run log's among them, which closes its
// file) and before the streams are flushed (a library's thread may hold a
// stream's lock).
void OnExitFunctions() { EndRunEndedByExitProcess(); }

}  // namespace

void InstallLastChanceHandlers() {
    SetUnhandledExceptionFilter(OnUnhandledException);
    AddVectoredExceptionHandler(1, OnFaultInDetachCode);
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

void SetLastChanceExitCode(int exitCode) {
    InterlockedExchange(&lastChanceExitCode, exitCode);
    InterlockedExchange(&runHandOver.exitCode, exitCode);
}

void EndWithLastChanceExitCode() { EndProcessWith(static_cast<UINT>(lastChanceExitCode)); }

void EndProcessWith(UINT exitCode) {
    EndKeeperStillThere();
    TerminateProcess(GetCurrentProcess(), exitCode);
    // TerminateProcess on the own process does not return; this is never reached.
    std::_Exit(static_cast<int>(exitCode));
}

void WatchForExitProcess() {
    std::atexit(OnExitFunctions);
    exitProcessWatch.shutdownInProgress =
        Kernel32Function<BOOLEAN(WINAPI*)()>("RtlDllShutdownInProgress", L"ntdll.dll");
    if (exitProcessWatch.shutdownInProgress == nullptr) return;
    exitProcessWatch.index = FlsAlloc(OnFiberLocalEnd);
    WatchThreadForExitProcess();
}

void WatchThreadForExitProcess() {
    if (exitProcessWatch.index != FLS_OUT_OF_INDEXES) FlsSetValue(exitProcessWatch.index, &exitProcessWatch);
}

void OnProcessDetach() {
    if (exitProcessWatch.index != FLS_OUT_OF_INDEXES) EndRunEndedByExitProcess();
}
