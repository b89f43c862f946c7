#include "records/RecordKeeper.h"

#include <atomic>
#include <memory>
#include <vector>

#include "base/KeeperCommandLine.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "log/ReportLines.h"
#include "log/VLogger.h"
#include "records/InsideReport.h"
#include "records/KeeperSignals.h"
#include "system/ChildProcess.h"
#include "system/MiniDump.h"
#include "system/OtherProcess.h"

namespace {

// What the keeper does to the run: read it, stop and read its threads (the
// dump does that too), end it and wait for its end; and it waits for the end
// of the thread that calls into the library.
constexpr DWORD kRunAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE;
constexpr DWORD kThreadAccess = THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION | SYNCHRONIZE;

// A process start takes milliseconds; seconds on a machine that is busy.
constexpr DWORD kKeeperStartWaitMs = 10000;
// TerminateProcess returns before the run has ended: the keeper stays until
// it has, so that the run's exit code is there to read once the keeper's line
// is in the log.
constexpr DWORD kRunEndWaitMs = 5000;

// The keeper's part of the crash report's hand-over: the report it is making,
// for its own last chance. A fault while it writes the dump (Wine's dbghelp
// was seen to fault) or memory running out must not cost the run its line
// and its end.
struct ReportInHand {
    HANDLE run = nullptr;
    DWORD markedProcess = 0;
    LONG exitCode = -1;
    bool dumpMissing = false;                      // a dump was due, and is not whole
    std::atomic<const FixedText*> line{nullptr};  // null while no report is being made
};
ReportInHand reportInHand;

// A line of the run, as the run would have written it: its mark, if it had
// one. The log is not held open between lines.
void LogAsTheRun(DWORD markedProcess, const wchar_t* line) {
    runLog.ReopenAs(markedProcess);
    LogLine(line);
    runLog.Close();
}

// Ends the report in hand, once: its line as far as it got, and the run's end.
void FinishReportInHand() {
    const FixedText* line = reportInHand.line.exchange(nullptr);
    if (line == nullptr) return;
    LogAsTheRun(reportInHand.markedProcess, (reportInHand.dumpMissing ? WithoutDump(*line) : *line).Text());
    TerminateProcess(reportInHand.run, static_cast<UINT>(reportInHand.exitCode));
}

LONG WINAPI OnKeeperFault(EXCEPTION_POINTERS*) {
    FinishReportInHand();
    // A dump's file, marked for deletion unless whole, goes with the keeper's handles.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
    return EXCEPTION_EXECUTE_HANDLER;
}

// The dump first when one is due (`where`, null for a hang whose thread could
// not be stopped), so that the line can say when there is none, then the
// line, then the run's end with its failure code.
void FinishReport(HANDLE run, const ReportHandOver& handOver, const FixedText& line, bool dumpDue,
                  const DumpException* where = nullptr) {
    reportInHand.run = run;
    reportInHand.markedProcess = handOver.markedProcess;
    reportInHand.exitCode = handOver.exitCode;
    reportInHand.dumpMissing = dumpDue;
    reportInHand.line = &line;
    if (dumpDue) {
        auto writer = std::make_unique<DumpWriter>();
        reportInHand.dumpMissing =
            WriteDumpWithin(*writer, run, kDumpFileName, where, line.Text(), kDumpWaitMs) != S_OK;
        // One given up on may still be inside the dump: it is left to the keeper's end.
        if (reportInHand.dumpMissing) writer.release();
    }
    FinishReportInHand();
    WaitForSingleObject(run, kRunEndWaitMs);
}

void ReportCrash(HANDLE run, const ReportHandOver& handOver) {
    const ModulePlace place = ModuleHolding(run, handOver.exceptionAddress);
    const DumpException where{handOver.faultingThreadId, handOver.exception, true};
    FinishReport(run, handOver, UnhandledExceptionLine(handOver.exceptionCode, place.Name(), place.offset), true,
                 &where);
}

// Stops the watched thread and reports its hang, unless its call has returned
// by then: the thread then goes on. The run hears that the keeper has decided
// (`taken`) before the report starts. True when the run was ended.
bool ReportHangUnlessReturned(const KeeperArguments& keeper, const ReportHandOver& offered) {
    CONTEXT context{};
    const bool stopped = StopThread(offered.watchedThread, context);
    ReportHandOver now;
    const bool read = ReadFrom(keeper.run, keeper.handOver, now);
    const auto call = static_cast<EngineCall>(now.call);
    if (!read || call == EngineCall::None) {
        if (stopped) ResumeThread(offered.watchedThread);
        SetEvent(offered.taken);
        return false;
    }
    SetEvent(offered.taken);
    EXCEPTION_RECORD record = HangRecordAt(context);
    EXCEPTION_POINTERS pointers{&record, &context};
    const DumpException where{now.watchedThreadId, &pointers, false};
    FinishReport(keeper.run, now, EngineHangLine(EngineCallName(call), static_cast<DWORD>(now.hangLimitSeconds)),
                 true, stopped ? &where : nullptr);
    return true;
}

// Waits for the run's requests, its end and the end of the thread it watches,
// until it ends or dismisses the keeper.
int KeepRecord(const KeeperArguments& keeper, const ReportHandOver& offered) {
    SetUnhandledExceptionFilter(OnKeeperFault);
    SetEvent(offered.ready);
    HANDLE waits[] = {offered.request, keeper.run, offered.watchedThread};
    DWORD waitCount = 3;
    bool hangLookedAt = false;
    for (;;) {
        const DWORD waited = WaitForMultipleObjects(waitCount, waits, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0 + 1) {
            DWORD status = 0;
            if (GetExitCodeProcess(keeper.run, &status)) {
                LogAsTheRun(offered.markedProcess, UnfinishedRunLine(status).Text());
            }
            return 0;
        }
        ReportHandOver now;
        // Unreadable: the run is ending, and its end is what comes next; or its
        // memory is out of reach, and nothing can be reported from here.
        const bool read = ReadFrom(keeper.run, keeper.handOver, now);
        if (waited == WAIT_OBJECT_0 + 2) {
            // Outside a call the thread's end is the run's own: its end follows.
            waitCount = 2;
            if (!read || static_cast<EngineCall>(now.call) == EngineCall::None) continue;
            DWORD status = 0;
            GetExitCodeThread(offered.watchedThread, &status);
            FinishReport(keeper.run, now, CallingThreadEndedLine(EngineCallName(static_cast<EngineCall>(now.call)), status),
                         false);
            return 0;
        }
        if (waited != WAIT_OBJECT_0) return -1;
        if (!read) continue;
        switch (static_cast<KeeperRequest>(now.asked)) {
        case KeeperRequest::Finished:
            return 0;
        case KeeperRequest::Crash:
            SetEvent(offered.taken);
            ReportCrash(keeper.run, now);
            return 0;
        case KeeperRequest::Abort:
            SetEvent(offered.taken);
            // abort() leaves no dump: the run called it, nothing faulted.
            FinishReport(keeper.run, now, FixedText() << kAbortLine, false);
            return 0;
        case KeeperRequest::None:
            break;
        }
        // The watch asks once, at its limit.
        if (now.hangLimitSeconds != 0 && !hangLookedAt) {
            hangLookedAt = true;
            if (ReportHangUnlessReturned(keeper, offered)) return 0;
        }
    }
}

// Whether the run is reached through what the command line names: a handle on
// another process, whose memory holds at the address the signed hand-over of
// that very process, naming a thread of it and handles of this keeper's own.
bool ReachesItsRun(const KeeperArguments& keeper, ReportHandOver& offered) {
    const DWORD runId = GetProcessId(keeper.run);
    DWORD flags = 0;
    return runId != 0 && runId != GetCurrentProcessId() && ReadFrom(keeper.run, keeper.handOver, offered) &&
           offered.signature == kHandOverSignature && offered.runProcessId == runId &&
           GetProcessIdOfThread(offered.watchedThread) == runId && GetHandleInformation(offered.request, &flags) &&
           GetHandleInformation(offered.ready, &flags) && GetHandleInformation(offered.taken, &flags);
}

std::optional<KeeperArguments> ArgumentsOf(const std::optional<KeeperCommandLineValues>& values) {
    if (!values) return std::nullopt;
    return KeeperArguments{reinterpret_cast<HANDLE>(values->run),
                           reinterpret_cast<const ReportHandOver*>(values->handOver)};
}

}  // namespace

std::wstring KeeperCommandLine(const std::wstring& tool, const KeeperArguments& arguments) {
    return CommandLineFor(tool, KeeperArgumentsText({reinterpret_cast<std::uintptr_t>(arguments.run),
                                                     reinterpret_cast<std::uintptr_t>(arguments.handOver)}));
}

std::optional<KeeperArguments> KeeperArgumentsFrom(int argc, const wchar_t* const* argv) {
    return ArgumentsOf(KeeperValuesFrom(argc, argv));
}

std::optional<int> KeepRecordWhenAsked() {
    const std::optional<KeeperArguments> keeper = ArgumentsOf(KeeperValuesOfThisProcess());
    if (!keeper) return std::nullopt;
    // A keeper from here on, whatever becomes of it: it runs no job.
    ReportHandOver offered;
    if (!ReachesItsRun(*keeper, offered)) return -1;
    try {
        return KeepRecord(*keeper, offered);
    } catch (...) {
        // Out of memory: the report in hand ends as far as it got.
        FinishReportInHand();
        return -1;
    }
}

DWORD RecordKeeper::Start() {
    if (keeper_.process) return ERROR_SUCCESS;
    const HANDLE self = GetCurrentProcess();
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    if (!DuplicateHandle(self, self, self, run_.Put(), kRunAccess, TRUE, 0) ||
        !DuplicateHandle(self, GetCurrentThread(), self, thread_.Put(), kThreadAccess, TRUE, 0)) {
        return Discard(GetLastError());
    }
    request_.Reset(CreateEventW(&inheritable, FALSE, FALSE, nullptr));
    ready_.Reset(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    taken_.Reset(CreateEventW(&inheritable, FALSE, FALSE, nullptr));
    if (!request_ || !ready_ || !taken_) return Discard(GetLastError());
    OfferHandOver(request_.Get(), ready_.Get(), taken_.Get(), thread_.Get());
    const std::wstring tool = ModulePath();
    if (tool.empty()) return Discard(GetLastError());
    const std::vector<HANDLE> inherited{run_.Get(), thread_.Get(), request_.Get(), ready_.Get(), taken_.Get()};
    if (!StartHelper(KeeperCommandLine(tool, {run_.Get(), HandOverAddress()}), inherited, keeper_)) {
        return Discard(GetLastError());
    }
    // The keeper has its copies: the library's own children must not get them.
    for (const HANDLE handle : inherited) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    const HANDLE waits[] = {ready_.Get(), keeper_.process.Get()};
    switch (WaitForMultipleObjects(2, waits, FALSE, kKeeperStartWaitMs)) {
    case WAIT_OBJECT_0:
        HandReportsTo(keeper_.process.Get());
        return ERROR_SUCCESS;
    case WAIT_OBJECT_0 + 1:
        return Discard(ERROR_PROCESS_ABORTED);
    case WAIT_TIMEOUT:
        return Discard(ERROR_TIMEOUT);
    default:
        return Discard(GetLastError());
    }
}

DWORD RecordKeeper::Discard(DWORD result) {
    if (keeper_.process) EndKeeper(keeper_.process.Get());
    HandReportsTo(nullptr);
    CloseHandles();
    return result;
}

void RecordKeeper::Stop() {
    if (!keeper_.process) return;
    DismissKeeper(keeper_.process.Get(), kKeeperEndWaitMs);
    CloseHandles();
}

void RecordKeeper::CloseHandles() {
    keeper_ = ProcessHandles();
    taken_.Reset();
    ready_.Reset();
    request_.Reset();
    thread_.Reset();
    run_.Reset();
}
