#include "log/ReportLines.h"

namespace {

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

FixedText EngineHangLine(const wchar_t* call, DWORD limitSeconds) {
    return FixedText() << L"The engine library has not returned from " << call << L" within " << limitSeconds
                       << L" s";
}

FixedText CallingThreadEndedLine(const wchar_t* call, DWORD exitStatus) {
    return (FixedText() << L"The thread that called the engine library ended inside " << call
                        << L", with exit status ")
        .Hex(exitStatus, 8);
}

FixedText UnhandledExceptionLine(DWORD code, const wchar_t* moduleName, std::uintptr_t offset) {
    return (FixedText() << L"Unhandled exception ")
        .Hex(code, 8)
        << L" at " << (moduleName != nullptr ? moduleName : L"?") << L"+" << FixedText().Hex(offset, 1).Text();
}

FixedText WithoutDump(const FixedText& line) { return FixedText() << line.Text() << L"; no dump written"; }

FixedText ReportOverdueLine(DWORD budgetSeconds) {
    return FixedText() << L"The report did not end within " << budgetSeconds << L" s of the limit; the run is ended";
}

FixedText FailureReportOverdueLine(DWORD budgetSeconds) {
    return FixedText() << L"The report of a failure did not end within " << budgetSeconds << L" s; the run is ended";
}

FixedText RunEndOverdueLine(DWORD budgetSeconds) {
    return FixedText() << L"The run did not end within " << budgetSeconds
                       << L" s of the engine library's last call; it is ended";
}

FixedText ExitProcessLine(const wchar_t* call) {
    FixedText line = FixedText() << L"The process was ended by ExitProcess";
    if (call != nullptr && *call != L'\0') line << L" inside " << call;
    return line << L", before the run finished";
}

FixedText UnfinishedRunLine(DWORD exitStatus) {
    FixedText line = (FixedText() << L"The run ended without finishing, with exit status ").Hex(exitStatus, 8);
    if (const wchar_t* meaning = ExitStatusMeaning(exitStatus)) line << L" (" << meaning << L")";
    return line;
}
