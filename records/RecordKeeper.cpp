#include "records/RecordKeeper.h"

#include <shellapi.h>

#include <atomic>
#include <cerrno>
#include <cwchar>
#include <vector>

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

constexpr wchar_t kKeeperOption[] = L"-recordkeeper";

// What the keeper does to the run: read it, stop and read its threads (the
// dump does that too), end it and wait for its end.
constexpr DWORD kRunAccess =
    PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE;
constexpr DWORD kThreadAccess = THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION;

// A process start takes milliseconds; seconds on a machine that is busy.
constexpr DWORD kKeeperStartWaitMs = 10000;
// A keeper told to end ends at once.
constexpr DWORD kKeeperEndWaitMs = 5000;
// The run, ended, is gone when its handles are closed.
constexpr DWORD kRunEndWaitMs = 5000;

// The keeper's part of the crash report's hand-over: the report it is making,
// for its own last chance. A fault while it writes the dump (Wine's dbghelp
// was seen to fault) or memory running out must not cost the run its line
// and its end.
struct ReportInHand {
    HANDLE run = nullptr;
    DWORD markedProcess = 0;
    LONG exitCode = -1;
    bool dumped = false;
    std::atomic<const std::wstring*> line{nullptr};  // null while no report is being made
};
ReportInHand reportInHand;

std::wstring HexDigits(std::uintptr_t value) {
    wchar_t digits[2 * sizeof(value) + 1];
    swprintf(digits, sizeof(digits) / sizeof(digits[0]), L"%lX", static_cast<unsigned long>(value));
    return digits;
}

std::optional<std::uintptr_t> FromHexDigits(const wchar_t* text) {
    const size_t length = wcslen(text);
    if (length == 0 || wcsspn(text, L"0123456789ABCDEFabcdef") != length) return std::nullopt;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long value = wcstoul(text, &end, 16);
    if (*end != L'\0' || errno != 0) return std::nullopt;
    return static_cast<std::uintptr_t>(value);
}

// A line of the run, as the run would have written it: its mark, if it had
// one. The log is not held open between lines.
void LogAsTheRun(DWORD markedProcess, const std::wstring& line) {
    runLog.ReopenAs(markedProcess);
    LogLine(line.c_str());
    runLog.Close();
}

void EndTheRun(HANDLE run, LONG exitCode) {
    TerminateProcess(run, static_cast<UINT>(exitCode));
    WaitForSingleObject(run, kRunEndWaitMs);
}

// Ends the report in hand, once: its line as far as it got (without the dump
// unless that is whole), and the run's end.
void FinishReportInHand() {
    const std::wstring* line = reportInHand.line.exchange(nullptr);
    if (line == nullptr) return;
    LogAsTheRun(reportInHand.markedProcess, reportInHand.dumped ? *line : WithoutDump(*line));
    TerminateProcess(reportInHand.run, static_cast<UINT>(reportInHand.exitCode));
}

LONG WINAPI OnKeeperFault(EXCEPTION_POINTERS*) {
    FinishReportInHand();
    // The dump's file, marked for deletion unless whole, goes with the keeper's handles.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
    return EXCEPTION_EXECUTE_HANDLER;
}

// The dump first, so that the line can say when there is none, then the line,
// then the run's end with its failure code.
void FinishReport(HANDLE run, const ReportHandOver& handOver, const std::wstring& line, const DumpException* where) {
    reportInHand.run = run;
    reportInHand.markedProcess = handOver.markedProcess;
    reportInHand.exitCode = handOver.exitCode;
    reportInHand.dumped = false;
    reportInHand.line = &line;
    // One budget for the writer's start (it loads dbghelp.dll) and the dump.
    const ULONGLONG deadline = GetTickCount64() + kDumpWaitMs;
    DumpWriter writer;
    const auto left = [deadline] {
        const ULONGLONG now = GetTickCount64();
        return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    };
    reportInHand.dumped =
        writer.Start(kDumpWaitMs) && writer.Write(run, kDumpFileName, where, line, left()) == S_OK;
    FinishReportInHand();
    WaitForSingleObject(run, kRunEndWaitMs);
}

void ReportCrash(HANDLE run, const ReportHandOver& handOver) {
    EXCEPTION_POINTERS pointers{};
    EXCEPTION_RECORD record{};
    if (ReadFrom(run, handOver.exception, pointers)) ReadFrom(run, pointers.ExceptionRecord, record);
    const ModulePlace place = ModuleHolding(run, record.ExceptionAddress);
    const DumpException where{handOver.faultingThreadId, handOver.exception, true};
    FinishReport(run, handOver, UnhandledExceptionLine(record.ExceptionCode, place.Name(), place.offset), &where);
}

// Stops the watched thread and reports its hang, unless its call has returned
// by then or a crash is to be reported first: the thread then goes on. True
// when the run was ended.
bool ReportHangUnlessReturned(const KeeperArguments& keeper, HANDLE thread) {
    CONTEXT context{};
    const bool stopped = StopThread(thread, context);
    ReportHandOver now;
    const bool read = ReadFrom(keeper.run, keeper.handOver, now);
    const auto call = static_cast<EngineCall>(now.call);
    if (!read || call == EngineCall::None || now.asked != static_cast<LONG>(KeeperRequest::None)) {
        if (stopped) ResumeThread(thread);
        return false;
    }
    EXCEPTION_RECORD record = HangRecordAt(context);
    EXCEPTION_POINTERS pointers{&record, &context};
    const DumpException where{now.watchedThreadId, &pointers, false};
    FinishReport(keeper.run, now,
                 EngineHangLine(EngineCallName(call), static_cast<DWORD>(now.hangLimitSeconds)),
                 stopped ? &where : nullptr);
    return true;
}

// Waits for the run's requests until it ends or dismisses the keeper.
int KeepRecord(const KeeperArguments& keeper, const ReportHandOver& offered) {
    // Not held open while the keeper waits: the run, and a run after it, must
    // not take the keeper for a second writer.
    runLog.Close();
    SetUnhandledExceptionFilter(OnKeeperFault);
    SetEvent(offered.ready);
    bool hangLookedAt = false;
    for (;;) {
        const HANDLE waits[] = {offered.request, keeper.run};
        const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0 + 1) {
            DWORD status = 0;
            if (GetExitCodeProcess(keeper.run, &status)) LogAsTheRun(offered.markedProcess, UnfinishedRunLine(status));
            return 0;
        }
        if (waited != WAIT_OBJECT_0) return -1;
        ReportHandOver now;
        // Unreadable: the run is ending, and its end is what comes next; or its
        // memory is out of reach, and nothing can be reported from here.
        if (!ReadFrom(keeper.run, keeper.handOver, now)) continue;
        switch (static_cast<KeeperRequest>(now.asked)) {
        case KeeperRequest::Finished:
            return 0;
        case KeeperRequest::Crash:
            ReportCrash(keeper.run, now);
            return 0;
        case KeeperRequest::Abort:
            // abort() leaves no dump: the run called it, nothing faulted.
            LogAsTheRun(now.markedProcess, kAbortLine);
            EndTheRun(keeper.run, now.exitCode);
            return 0;
        case KeeperRequest::None:
            break;
        }
        // The watch asks once, at its limit.
        if (now.hangLimitSeconds != 0 && !hangLookedAt) {
            hangLookedAt = true;
            if (ReportHangUnlessReturned(keeper, offered.watchedThread)) return 0;
        }
    }
}

}  // namespace

std::wstring KeeperCommandLine(const std::wstring& tool, const KeeperArguments& arguments) {
    return CommandLineFor(tool, std::wstring(kKeeperOption) + L" " +
                                    HexDigits(reinterpret_cast<std::uintptr_t>(arguments.run)) + L" " +
                                    HexDigits(reinterpret_cast<std::uintptr_t>(arguments.handOver)));
}

std::optional<KeeperArguments> KeeperArgumentsFrom(int argc, const wchar_t* const* argv) {
    if (argc != 4 || wcscmp(argv[1], kKeeperOption) != 0) return std::nullopt;
    const std::optional<std::uintptr_t> run = FromHexDigits(argv[2]);
    const std::optional<std::uintptr_t> handOver = FromHexDigits(argv[3]);
    if (!run || !handOver) return std::nullopt;
    return KeeperArguments{reinterpret_cast<HANDLE>(*run), reinterpret_cast<const ReportHandOver*>(*handOver)};
}

std::optional<int> KeepRecordWhenAsked() {
    int argc = 0;
    const LocalMemory arguments(reinterpret_cast<HLOCAL>(CommandLineToArgvW(GetCommandLineW(), &argc)));
    if (!arguments) return std::nullopt;
    const std::optional<KeeperArguments> keeper = KeeperArgumentsFrom(argc, static_cast<wchar_t**>(arguments.Get()));
    // Another process's record, handed over by that process: not this one's
    // own memory, whatever handle or address was typed.
    const DWORD runId = keeper ? GetProcessId(keeper->run) : 0;
    ReportHandOver offered;
    if (runId == 0 || runId == GetCurrentProcessId() || !ReadFrom(keeper->run, keeper->handOver, offered) ||
        offered.signature != kHandOverSignature || offered.runProcessId != runId) {
        return std::nullopt;
    }
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
    if (!request_ || !ready_) return Discard(GetLastError());
    OfferHandOver(request_.Get(), ready_.Get(), thread_.Get());
    const std::wstring tool = ModulePath();
    if (tool.empty()) return Discard(GetLastError());
    const std::vector<HANDLE> inherited{run_.Get(), thread_.Get(), request_.Get(), ready_.Get()};
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

DWORD RecordKeeper::Discard(DWORD error) {
    if (keeper_.process && WaitForSingleObject(keeper_.process.Get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(keeper_.process.Get(), static_cast<UINT>(-1));
    }
    HandReportsTo(nullptr);
    keeper_ = ProcessHandles();
    ready_.Reset();
    request_.Reset();
    thread_.Reset();
    run_.Reset();
    return error;
}

void RecordKeeper::Stop() {
    if (!keeper_.process) return;
    // One that does not end when told is ended.
    DismissKeeper(keeper_.process.Get(), kKeeperEndWaitMs);
    Discard(ERROR_SUCCESS);
}
