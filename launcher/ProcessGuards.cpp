#include "launcher/ProcessGuards.h"

#include <csignal>
#include <cstdlib>
#include <cwchar>

#include "base/Handles.h"
#include "base/Text.h"
#include "log/VLogger.h"
#include "system/OtherProcess.h"

namespace {

// The crash report's hand-over: written by the launcher's thread and by
// whichever thread fails, read by the record keeper from outside.
ReportHandOver handOver;

// Room for the line and the dump's hand-over; the faulting thread's own stack
// may be spent.
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
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(handOver.exitCode));
    // TerminateProcess on the own process does not return; this is never reached.
    std::_Exit(static_cast<int>(handOver.exitCode));
}

// Who has the report: nobody, a thread that reports a failure, or the
// launcher's thread while it dismisses the keeper.
enum Claim : LONG { kFree, kReporting, kDismissing };
// A failure that comes while the keeper is dismissed waits this long, in
// polls of 10 ms, for the dismissal to end (it waits 5 s for the keeper).
constexpr int kDismissalPolls = 600;

// The first failure to claim reports. One that comes while the keeper is being
// dismissed waits for that, then claims: the keeper is gone by then, and the
// report is the run's own. False when another report is under way.
bool ClaimReport() {
    for (int poll = 0; poll < kDismissalPolls; ++poll) {
        const LONG held = InterlockedCompareExchange(&handOver.claimed, kReporting, kFree);
        if (held == kFree) return true;
        if (held == kReporting) return false;
        Sleep(10);
    }
    return false;
}

void ReleaseClaim() { InterlockedExchange(&handOver.claimed, kFree); }

// The keeper, while its process runs; null otherwise. Read only with the claim
// held, or by the watch before the keeper can be dismissed.
HANDLE LiveKeeper() {
    const HANDLE keeper = handOver.keeper;
    return keeper != nullptr && WaitForSingleObject(keeper, 0) == WAIT_TIMEOUT ? keeper : nullptr;
}

// Another report ends the run; without a keeper, a fault in the reporter
// itself ends it now.
[[noreturn]] void LeaveToTheReportUnderWay() {
    if (const HANDLE keeper = LiveKeeper()) WaitForSingleObject(keeper, 2 * kReportWaitMs);
    EndProcess();
}

// The keeper's part of a failure: it writes the dump and the line and ends the
// run; should it not within the time a report takes, the run ends itself.
// Returns only when the keeper ended without ending the run: the report is
// then the run's own.
void LeaveToKeeper(HANDLE keeper, KeeperRequest request) {
    InterlockedExchange(&handOver.asked, static_cast<LONG>(request));
    SetEvent(handOver.request);
    if (WaitForSingleObject(keeper, kReportWaitMs) != WAIT_OBJECT_0) EndProcess();
}

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
    EndProcess();
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

// Runs on the faulting thread, which after a stack overflow has a page or two
// of stack left, and may hold the heap's lock or the loader's: with a keeper it
// records, signals and waits; without one the line and the dump are made on a
// thread of their own.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    if (!ClaimReport()) LeaveToTheReportUnderWay();
    if (const HANDLE keeper = LiveKeeper()) {
        handOver.faultingThreadId = GetCurrentThreadId();
        handOver.exception = exception;
        LeaveToKeeper(keeper, KeeperRequest::Crash);
    }
    CrashReport report{exception, GetCurrentThreadId()};
    const KernelHandle reporter(CreateThread(nullptr, kReporterStackBytes, ReportCrash, &report,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (reporter) WaitForSingleObject(reporter.Get(), kReportWaitMs);
    EndProcess();
}

void OnAbort(int) {
    if (!ClaimReport()) LeaveToTheReportUnderWay();
    if (const HANDLE keeper = LiveKeeper()) LeaveToKeeper(keeper, KeeperRequest::Abort);
    LogFinalLine(kAbortLine);
    EndProcess();
}

// What an exit status means, where it is one a run may end with unasked.
const wchar_t* ExitStatusMeaning(DWORD status) {
    switch (status) {
    case STATUS_STACK_BUFFER_OVERRUN:
        return L"a fail-fast: the code found its own memory corrupted and ended the process at once";
    case STATUS_HEAP_CORRUPTION:
        return L"the heap was found corrupted";
    case STATUS_ACCESS_VIOLATION:
        return L"an access violation that no handler saw";
    case STATUS_STACK_OVERFLOW:
        return L"a stack overflow that no handler saw";
    case STATUS_CONTROL_C_EXIT:
        return L"ended by Ctrl+C or by its console closing";
    case DBG_TERMINATE_PROCESS:
        return L"ended by a debugger";
    default:
        return nullptr;
    }
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

void SetLastChanceExitCode(int exitCode) { InterlockedExchange(&handOver.exitCode, exitCode); }

void NoteEngineCall(EngineCall call) { InterlockedExchange(&handOver.call, static_cast<LONG>(call)); }

const wchar_t* EngineCallName(EngineCall call) {
    switch (call) {
    case EngineCall::Attach:
        return L"its attach code";
    case EngineCall::ClassObject:
        return L"DllGetClassObject";
    case EngineCall::Initialize:
        return L"Initialize";
    case EngineCall::Install:
        return L"Install";
    case EngineCall::Uninstall:
        return L"Uninstall";
    case EngineCall::Uninitialize:
        return L"Uninitialize";
    case EngineCall::Release:
        return L"Release";
    case EngineCall::Detach:
        return L"its detach code";
    case EngineCall::None:
        break;
    }
    return L"";
}

const ReportHandOver* HandOverAddress() { return &handOver; }

void OfferHandOver(HANDLE request, HANDLE ready, HANDLE watchedThread) {
    handOver.runProcessId = GetCurrentProcessId();
    handOver.request = request;
    handOver.ready = ready;
    handOver.watchedThread = watchedThread;
    handOver.watchedThreadId = GetThreadId(watchedThread);
    handOver.markedProcess = runLog.MarkedProcess();
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&handOver.signature), kHandOverSignature);
}

void HandReportsTo(HANDLE keeper) {
    InterlockedExchangePointer(&handOver.keeper, keeper);
    // An earlier keeper's end left nothing under way.
    InterlockedExchange(&handOver.asked, static_cast<LONG>(KeeperRequest::None));
    InterlockedExchange(&handOver.hangLimitSeconds, 0);
    if (keeper == nullptr) {
        handOver.signature = 0;
        handOver.request = handOver.ready = handOver.watchedThread = nullptr;
    }
}

bool ReportsGoToKeeper() { return LiveKeeper() != nullptr; }

HANDLE AskKeeperAboutHang(DWORD limitSeconds) {
    const HANDLE keeper = LiveKeeper();
    if (keeper == nullptr) return nullptr;
    InterlockedExchange(&handOver.hangLimitSeconds, static_cast<LONG>(limitSeconds));
    SetEvent(handOver.request);
    return keeper;
}

bool DismissKeeper(HANDLE keeper, DWORD waitMs) {
    if (InterlockedCompareExchange(&handOver.claimed, kDismissing, kFree) != kFree) {
        // A failure on another thread is being reported: that report ends the
        // run, through the keeper or, should it fail, from inside.
        Sleep(2 * kReportWaitMs);
        EndProcess();
    }
    InterlockedExchange(&handOver.asked, static_cast<LONG>(KeeperRequest::Finished));
    SetEvent(handOver.request);
    const bool ended = WaitForSingleObject(keeper, waitMs) == WAIT_OBJECT_0;
    HandReportsTo(nullptr);
    ReleaseClaim();
    return ended;
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
    const auto call = static_cast<EngineCall>(handOver.call);
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

std::wstring WithoutDump(const std::wstring& line) { return line + L"; no dump written"; }

std::wstring UnfinishedRunLine(DWORD exitStatus) {
    std::wstring line = L"The run ended without finishing, with exit status " + HexCode(exitStatus);
    if (const wchar_t* meaning = ExitStatusMeaning(exitStatus)) line += std::wstring(L" (") + meaning + L")";
    return line;
}
