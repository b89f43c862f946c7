#include "records/LastChance.h"

#include <csignal>
#include <cstdlib>

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

void OnAbort(int) {
    AnnounceFailure();
    if (!ClaimReport()) WaitForTheReportUnderWay();
    if (AskKeeper(KeeperRequest::Abort) == KeeperAnswer::Taken) WaitForKeeperToEndTheRun(kReportWaitMs);
    ReportAbortFromInside();
}

}  // namespace

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

void SetLastChanceExitCode(int exitCode) {
    InterlockedExchange(&lastChanceExitCode, exitCode);
    InterlockedExchange(&runHandOver.exitCode, exitCode);
}

void EndWithLastChanceExitCode() {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(lastChanceExitCode));
    // TerminateProcess on the own process does not return; this is never reached.
    std::_Exit(static_cast<int>(lastChanceExitCode));
}
