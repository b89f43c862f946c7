#include "records/InsideReport.h"

#include <string>

#include "base/Handles.h"
#include "log/ReportLines.h"
#include "log/VLogger.h"
#include "records/KeeperSignals.h"
#include "records/LastChance.h"
#include "records/ReportClaim.h"
#include "records/ReportHandOver.h"
#include "system/OtherProcess.h"

namespace {

// Room for the line and the dump's hand-over; the faulting thread's own stack
// may be spent.
constexpr SIZE_T kReporterStackBytes = 256 * 1024;

void LogFinalLine(const wchar_t* text) {
    runLog.DropUnfinishedLine();
    LogLine(text);
}

// The one road of a crash and a hang reported from inside: the dump first, so
// that the line can say when there is none, then the line, then the end.
[[noreturn]] void ReportAndEnd(const std::wstring& line, EXCEPTION_POINTERS* exception, DWORD threadId,
                               DumpWriter& writer) {
    const DumpException where{threadId, exception, false};
    const bool dumped =
        writer.Write(GetCurrentProcess(), kDumpFileName, exception != nullptr ? &where : nullptr, line,
                     kDumpWaitMs) == S_OK;
    LogFinalLine((dumped ? line : WithoutDump(line)).c_str());
    EndWithLastChanceExitCode();
}

struct CrashReport {
    EXCEPTION_POINTERS* exception;
    DWORD threadId;
};

DWORD WINAPI ReportCrash(void* parameter) {
    const CrashReport& report = *static_cast<const CrashReport*>(parameter);
    const EXCEPTION_RECORD& record = *report.exception->ExceptionRecord;
    const ModulePlace place = ModuleHolding(GetCurrentProcess(), record.ExceptionAddress);
    const std::wstring line = UnhandledExceptionLine(record.ExceptionCode, place.Name(), place.offset);
    DumpWriter writer;
    writer.Start(0);  // Write waits for it
    ReportAndEnd(line, report.exception, report.threadId, writer);
}

}  // namespace

void ReportCrashFromInside(EXCEPTION_POINTERS* exception) {
    CrashReport report{exception, GetCurrentThreadId()};
    const KernelHandle reporter(CreateThread(nullptr, kReporterStackBytes, ReportCrash, &report,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (reporter) WaitForSingleObject(reporter.Get(), kReportWaitMs);
    EndWithLastChanceExitCode();
}

void ReportAbortFromInside() {
    LogFinalLine(kAbortLine);
    EndWithLastChanceExitCode();
}

void ReportHangInProcess(HANDLE hungThread, DWORD hungThreadId, DWORD limitSeconds, DumpWriter& writer) {
    // A crash is being reported: it ends the run.
    if (!ClaimReport()) {
        for (;;) Sleep(INFINITE);
    }
    // Stopped for good unless its call has returned: its stack must stay as
    // the context says.
    CONTEXT context{};
    const bool stopped = StopThread(hungThread, context);
    const auto call = static_cast<EngineCall>(runHandOver.call);
    if (call == EngineCall::None) {
        // Let go fully: a keeper that died while it held the thread stopped
        // left a suspension of its own.
        if (stopped) {
            DWORD previousCount = 0;
            do {
                previousCount = ResumeThread(hungThread);
            } while (previousCount != static_cast<DWORD>(-1) && previousCount > 1);
        }
        ReleaseClaim();
        return;
    }
    EXCEPTION_RECORD record = HangRecordAt(context);
    EXCEPTION_POINTERS where{&record, &context};
    ReportAndEnd(EngineHangLine(EngineCallName(call), limitSeconds), stopped ? &where : nullptr, hungThreadId,
                 writer);
}
