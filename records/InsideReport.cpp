#include "records/InsideReport.h"

#include "base/Handles.h"
#include "base/Text.h"
#include "log/ReportLines.h"
#include "log/VLogger.h"
#include "records/KeeperSignals.h"
#include "records/LastChance.h"
#include "records/ReportHandOver.h"
#include "system/OtherProcess.h"

namespace {

// Room for the line and the dump's hand-over; the faulting thread's own stack
// may be spent.
constexpr SIZE_T kReporterStackBytes = 256 * 1024;
// A thread starts in milliseconds. One that has not written the line by then
// waits for the heap or the loader lock, which the code that failed holds: the
// line is written without it, and no dump can be.
constexpr DWORD kReporterLineWaitMs = 2000;

// What a report's line and the run's end take at most, once a dump is given up.
constexpr DWORD kLineAndEndMs = 2000;

volatile LONG lineTaken = 0;

// The crash's line, from what the hand-over holds of it.
FixedText CrashLine() {
    const ModulePlace place = ModuleHolding(GetCurrentProcess(), runHandOver.exceptionAddress);
    return UnhandledExceptionLine(runHandOver.exceptionCode, place.Name(), place.offset);
}

struct CrashReport {
    EXCEPTION_POINTERS* exception;
    DWORD threadId;
    DWORD dumpWaitMs;
};

DWORD WINAPI ReportCrash(void* parameter) {
    const CrashReport& report = *static_cast<const CrashReport*>(parameter);
    const FixedText line = CrashLine();
    WriteReportLine(line);
    if (report.dumpWaitMs != 0) {
        DumpWriter writer;
        const DumpException where{report.threadId, report.exception, false};
        WriteDumpWithin(writer, GetCurrentProcess(), kDumpFileName, &where, line.Text(), report.dumpWaitMs);
    }
    EndWithLastChanceExitCode();
}

}  // namespace

void ReportCrashFromInside(EXCEPTION_POINTERS* exception, DWORD dumpWaitMs) {
    CrashReport report{exception, GetCurrentThreadId(), dumpWaitMs};
    const KernelHandle reporter(CreateThread(nullptr, kReporterStackBytes, ReportCrash, &report,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (reporter && (WaitForSingleObject(reporter.Get(), kReporterLineWaitMs) == WAIT_OBJECT_0 || ReportLineWritten())) {
        WaitForSingleObject(reporter.Get(), dumpWaitMs);
    }
    WriteReportLine(CrashLine());
    EndWithLastChanceExitCode();
}

void ReportCrashOfEndedThread() {
    const bool reporterStarted = ReportLineWritten();
    WriteReportLine(CrashLine());
    // A reporter the thread had started has the line written and makes the dump.
    if (reporterStarted) Sleep(kDumpWaitMs + kLineAndEndMs);
    EndWithLastChanceExitCode();
}

DWORD DumpTimeLeft(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64() + kLineAndEndMs;
    if (now >= deadline) return 0;
    return deadline - now < kDumpWaitMs ? static_cast<DWORD>(deadline - now) : kDumpWaitMs;
}

void WriteReportLine(const FixedText& line) {
    if (InterlockedCompareExchange(&lineTaken, 1, 0) == 0) LogLineNow(line.Text());
}

void ReportAbortFromInside() {
    WriteReportLine(FixedText() << kAbortLine);
    EndWithLastChanceExitCode();
}

bool ReportHangFromInside(HANDLE hungThread, DWORD hungThreadId, DWORD limitSeconds, DumpWriter& writer,
                          DWORD dumpWaitMs) {
    // Stopped for good unless its call has returned: its stack must stay as
    // the context says.
    CONTEXT context{};
    const bool stopped = StopThread(hungThread, context);
    const auto call = static_cast<EngineCall>(runHandOver.call);
    if (call == EngineCall::None) {
        // Let go fully: a keeper that ended while it held the thread stopped
        // left a suspension of its own.
        if (stopped) LetGoFully(hungThread);
        return false;
    }
    const FixedText line = EngineHangLine(EngineCallName(call), limitSeconds);
    WriteReportLine(line);
    if (dumpWaitMs != 0) {
        EXCEPTION_RECORD record = HangRecordAt(context);
        EXCEPTION_POINTERS pointers{&record, &context};
        const DumpException where{hungThreadId, &pointers, false};
        WriteDumpWithin(writer, GetCurrentProcess(), kDumpFileName, stopped ? &where : nullptr, line.Text(),
                        dumpWaitMs);
    }
    EndWithLastChanceExitCode();
}

void ReportCallingThreadEnded(EngineCall call, DWORD exitStatus) {
    WriteReportLine(CallingThreadEndedLine(EngineCallName(call), exitStatus));
    EndWithLastChanceExitCode();
}

void WriteCrashLineOnce() {
    if (runHandOver.exceptionCode != 0) WriteReportLine(CrashLine());
}

bool ReportLineWritten() { return InterlockedCompareExchange(&lineTaken, 0, 0) != 0; }
