#include "records/KeeperSignals.h"

#include "base/Handles.h"
#include "log/VLogger.h"
#include "records/ReportClaim.h"
#include "system/OtherProcess.h"

namespace {

// The run's own handle on its keeper's process; null while it has none. Set by
// the launcher's thread; cleared by the thread that holds the claim when the
// keeper has gone.
HANDLE keeperProcess = nullptr;

void Ask(KeeperRequest request) {
    InterlockedExchange(&runHandOver.asked, static_cast<LONG>(request));
    SetEvent(runHandOver.request);
}

// The keeper has ended, or is ended now: reports are the run's own.
void LetKeeperGo(HANDLE keeper) {
    EndKeeper(keeper);
    InterlockedCompareExchangePointer(&keeperProcess, nullptr, keeper);
}

KeeperAnswer AwaitTaking() {
    const HANDLE keeper = LiveKeeper();
    if (keeper == nullptr) return KeeperAnswer::NoKeeper;
    const HANDLE waits[] = {runHandOver.taken, keeper};
    if (WaitForMultipleObjects(2, waits, FALSE, kKeeperTakesWithinMs) == WAIT_OBJECT_0) return KeeperAnswer::Taken;
    LetKeeperGo(keeper);
    return KeeperAnswer::Gone;
}

}  // namespace

const ReportHandOver* HandOverAddress() { return &runHandOver; }

void OfferHandOver(HANDLE request, HANDLE ready, HANDLE taken, HANDLE watchedThread) {
    runHandOver.runProcessId = GetCurrentProcessId();
    runHandOver.request = request;
    runHandOver.ready = ready;
    runHandOver.taken = taken;
    runHandOver.watchedThread = watchedThread;
    runHandOver.watchedThreadId = GetThreadId(watchedThread);
    runHandOver.markedProcess = runLog.MarkedProcess();
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&runHandOver.signature), kHandOverSignature);
}

void HandReportsTo(HANDLE keeper) {
    InterlockedExchangePointer(&keeperProcess, keeper);
    // An earlier keeper's end left nothing under way.
    InterlockedExchange(&runHandOver.asked, static_cast<LONG>(KeeperRequest::None));
    InterlockedExchange(&runHandOver.hangLimitSeconds, 0);
    if (keeper == nullptr) {
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&runHandOver.signature), 0);
        runHandOver.request = runHandOver.ready = runHandOver.taken = runHandOver.watchedThread = nullptr;
    }
}

HANDLE LiveKeeper() {
    const HANDLE keeper = InterlockedCompareExchangePointer(&keeperProcess, nullptr, nullptr);
    return keeper != nullptr && WaitForSingleObject(keeper, 0) == WAIT_TIMEOUT ? keeper : nullptr;
}

void NoteEngineCall(EngineCall call) {
    InterlockedExchange(&runHandOver.callingThreadId, static_cast<LONG>(GetCurrentThreadId()));
    InterlockedExchange(&runHandOver.call, static_cast<LONG>(call));
}

KeeperAnswer AskKeeper(KeeperRequest request) {
    if (LiveKeeper() == nullptr) return KeeperAnswer::NoKeeper;
    Ask(request);
    return AwaitTaking();
}

KeeperAnswer AskKeeperAboutHang(DWORD limitSeconds) {
    if (LiveKeeper() == nullptr) return KeeperAnswer::NoKeeper;
    InterlockedExchange(&runHandOver.hangLimitSeconds, static_cast<LONG>(limitSeconds));
    Ask(KeeperRequest::None);
    return AwaitTaking();
}

bool WaitForKeeperToEndTheRun(DWORD waitMs, HANDLE alsoDone) {
    const HANDLE keeper = InterlockedCompareExchangePointer(&keeperProcess, nullptr, nullptr);
    if (keeper == nullptr) return false;
    const HANDLE waits[] = {keeper, alsoDone};
    const DWORD waited = WaitForMultipleObjects(alsoDone != nullptr ? 2 : 1, waits, FALSE, waitMs);
    if (waited == WAIT_OBJECT_0 + 1) return true;
    LetKeeperGo(keeper);
    return false;
}

void EndKeeper(HANDLE keeper) {
    TerminateProcess(keeper, static_cast<UINT>(-1));
    WaitForSingleObject(keeper, kKeeperGoneWaitMs);
}

void EndKeeperStillThere() {
    const HANDLE keeper = InterlockedExchangePointer(&keeperProcess, nullptr);
    if (keeper != nullptr) EndKeeper(keeper);
}

bool TakeTheReportBackFromTheKeeper(DWORD msSinceFailure) {
    const HANDLE keeper = InterlockedCompareExchangePointer(&keeperProcess, nullptr, nullptr);
    // Gone already, and its holds let go by the thread that noticed.
    if (keeper == nullptr) return true;
    if (WaitForSingleObject(keeper, 0) == WAIT_TIMEOUT && msSinceFailure < kKeeperTakesWithinMs + kReportWaitMs) {
        return false;
    }
    LetKeeperGo(keeper);
    const DWORD faultingThreadId = runHandOver.faultingThreadId;
    if (faultingThreadId != 0 && faultingThreadId != GetCurrentThreadId()) {
        const KernelHandle faulting(OpenThread(THREAD_SUSPEND_RESUME, FALSE, faultingThreadId));
        if (faulting) LetGoFully(faulting.Get());
    }
    return true;
}

void DismissKeeper(HANDLE keeper, DWORD waitMs) {
    // A report under way ends the run, through the keeper or from inside.
    if (!ClaimForDismissal()) WaitForTheReportUnderWay();
    Ask(KeeperRequest::Finished);
    if (WaitForSingleObject(keeper, waitMs) != WAIT_OBJECT_0) EndKeeper(keeper);
    HandReportsTo(nullptr);
    ReleaseDismissal();
}
