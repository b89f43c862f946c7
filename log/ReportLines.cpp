#include "log/ReportLines.h"

#include <cwchar>

#include "base/Text.h"

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
