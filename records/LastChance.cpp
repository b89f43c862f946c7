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

// Runs on the faulting thread, which after a stack overflow has a page or two
// of stack left, and may hold the heap's lock or the loader's: with a keeper it
// records, signals and waits; without one the line and the dump are made on a
// thread of their own.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    if (!ClaimReport()) LeaveToTheReportUnderWay();
    if (const HANDLE keeper = LiveKeeper()) {
        runHandOver.faultingThreadId = GetCurrentThreadId();
        runHandOver.exception = exception;
        LeaveToKeeper(keeper, KeeperRequest::Crash);
    }
    ReportCrashFromInside(exception);
}

void OnAbort(int) {
    if (!ClaimReport()) LeaveToTheReportUnderWay();
    if (const HANDLE keeper = LiveKeeper()) LeaveToKeeper(keeper, KeeperRequest::Abort);
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

void SetLastChanceExitCode(int exitCode) { InterlockedExchange(&runHandOver.exitCode, exitCode); }

void EndWithLastChanceExitCode() {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(runHandOver.exitCode));
    // TerminateProcess on the own process does not return; this is never reached.
    std::_Exit(static_cast<int>(runHandOver.exitCode));
}
