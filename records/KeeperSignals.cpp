#include "records/KeeperSignals.h"

#include "log/VLogger.h"
#include "records/LastChance.h"
#include "records/ReportClaim.h"

const ReportHandOver* HandOverAddress() { return &runHandOver; }

void OfferHandOver(HANDLE request, HANDLE ready, HANDLE watchedThread) {
    runHandOver.runProcessId = GetCurrentProcessId();
    runHandOver.request = request;
    runHandOver.ready = ready;
    runHandOver.watchedThread = watchedThread;
    runHandOver.watchedThreadId = GetThreadId(watchedThread);
    runHandOver.markedProcess = runLog.MarkedProcess();
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&runHandOver.signature), kHandOverSignature);
}

void HandReportsTo(HANDLE keeper) {
    InterlockedExchangePointer(&runHandOver.keeper, keeper);
    // An earlier keeper's end left nothing under way.
    InterlockedExchange(&runHandOver.asked, static_cast<LONG>(KeeperRequest::None));
    InterlockedExchange(&runHandOver.hangLimitSeconds, 0);
    if (keeper == nullptr) {
        runHandOver.signature = 0;
        runHandOver.request = runHandOver.ready = runHandOver.watchedThread = nullptr;
    }
}

HANDLE LiveKeeper() {
    const HANDLE keeper = runHandOver.keeper;
    return keeper != nullptr && WaitForSingleObject(keeper, 0) == WAIT_TIMEOUT ? keeper : nullptr;
}

bool ReportsGoToKeeper() { return LiveKeeper() != nullptr; }

void NoteEngineCall(EngineCall call) { InterlockedExchange(&runHandOver.call, static_cast<LONG>(call)); }

HANDLE AskKeeperAboutHang(DWORD limitSeconds) {
    const HANDLE keeper = LiveKeeper();
    if (keeper == nullptr) return nullptr;
    InterlockedExchange(&runHandOver.hangLimitSeconds, static_cast<LONG>(limitSeconds));
    SetEvent(runHandOver.request);
    return keeper;
}

void LeaveToKeeper(HANDLE keeper, KeeperRequest request) {
    InterlockedExchange(&runHandOver.asked, static_cast<LONG>(request));
    SetEvent(runHandOver.request);
    if (WaitForSingleObject(keeper, kReportWaitMs) != WAIT_OBJECT_0) EndWithLastChanceExitCode();
}

void LeaveToTheReportUnderWay() {
    if (const HANDLE keeper = LiveKeeper()) WaitForSingleObject(keeper, 2 * kReportWaitMs);
    EndWithLastChanceExitCode();
}

bool DismissKeeper(HANDLE keeper, DWORD waitMs) {
    if (!ClaimForDismissal()) {
        // A failure on another thread is being reported: that report ends the
        // run, through the keeper or, should it fail, from inside.
        Sleep(2 * kReportWaitMs);
        EndWithLastChanceExitCode();
    }
    InterlockedExchange(&runHandOver.asked, static_cast<LONG>(KeeperRequest::Finished));
    SetEvent(runHandOver.request);
    const bool ended = WaitForSingleObject(keeper, waitMs) == WAIT_OBJECT_0;
    HandReportsTo(nullptr);
    ReleaseClaim();
    return ended;
}
