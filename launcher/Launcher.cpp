#include "launcher/Launcher.h"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>
#include <optional>

#include "base/Handles.h"
#include "log/VLogger.h"
#include "records/LastChance.h"
#include "system/ConsoleOutput.h"
#include "system/EngineCallLimit.h"
#include "system/Products.h"
#include "workflows/RemoveProduct.h"
#include "workflows/SmoothUpdate.h"

bool consoleAttached = false;

namespace {

constexpr wchar_t kSolutionRelativePath[] = L"subsystem\\zelde\\zeldecs.dll";

// A handle the process was started with (its start-up record, which a hidden
// launch hands on to the child) or holds as a standard handle now. The C
// runtime's descriptors 0-2 start out holding these very handles.
bool IsProcessStdHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    const HANDLE named[] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                            GetStdHandle(STD_ERROR_HANDLE), startup.hStdInput, startup.hStdOutput,
                            startup.hStdError};
    for (const HANDLE name : named) {
        if (name == handle) return true;
    }
    return false;
}

// Makes the descriptor hold a copy of `handle`. _dup2 closes what the
// descriptor held; a handle of the process's own (IsProcessStdHandle) is kept
// open through that close, or its value would go stale and be reused.
bool RebindDescriptor(HANDLE handle, int crtDescriptor) {
    KernelHandle copy;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), copy.Put(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return false;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(copy.Get()), _O_TEXT);
    if (descriptor == -1) return false;
    copy.Release();  // the descriptor owns it now
    const HANDLE held = reinterpret_cast<HANDLE>(_get_osfhandle(crtDescriptor));
    const bool shielded = IsProcessStdHandle(held) &&
                          SetHandleInformation(held, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE);
    const int bound = _dup2(descriptor, crtDescriptor);
    if (shielded) SetHandleInformation(held, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
    _close(descriptor);
    return bound == 0;
}

// Binds one of the C runtime's standard streams (descriptor 0, 1 or 2) to
// the process's standard handle, unbuffered, so printf and wprintf reach the
// console at once. A descriptor that already holds that handle keeps it.
void BindStdStream(DWORD stdHandleId, FILE* crtStream, int crtDescriptor) {
    const HANDLE standard = GetStdHandle(stdHandleId);
    if (standard == nullptr || standard == INVALID_HANDLE_VALUE) return;
    fflush(crtStream);
    const bool holdsIt = reinterpret_cast<HANDLE>(_get_osfhandle(crtDescriptor)) == standard;
    if (!holdsIt && !RebindDescriptor(standard, crtDescriptor)) return;
    // A process started without standard handles can have its stream record
    // left on no descriptor at all (-2), whatever descriptor 0-2 holds later.
    if (_fileno(crtStream) != crtDescriptor) crtStream->_file = crtDescriptor;
    setvbuf(crtStream, nullptr, _IONBF, 0);
}

// Whole seconds: one or more of the digits 0-9 and nothing else, at most
// 4294967295. No sign, no space, no other digits.
std::optional<DWORD> WholeSeconds(const wchar_t* digits) {
    if (*digits == L'\0') return std::nullopt;
    ULONGLONG seconds = 0;
    for (const wchar_t* at = digits; *at != L'\0'; ++at) {
        if (*at < L'0' || *at > L'9') return std::nullopt;
        seconds = seconds * 10 + static_cast<ULONGLONG>(*at - L'0');
        if (seconds > MAXDWORD) return std::nullopt;
    }
    return static_cast<DWORD>(seconds);
}

// The seconds of the first good "EngineCallTimeout=<seconds>" argument after
// the option (the name in any case); one that is no such number is logged
// and passed over, other arguments are ignored.
std::optional<DWORD> EngineCallTimeoutArgument(int argc, const wchar_t* const* argv) {
    const size_t nameLength = wcslen(kEngineCallTimeoutArgument);
    for (int i = 2; i < argc; ++i) {
        if (StrCmpNIW(argv[i], kEngineCallTimeoutArgument, static_cast<int>(nameLength)) != 0) continue;
        if (const std::optional<DWORD> seconds = WholeSeconds(argv[i] + nameLength)) return seconds;
        // As typed, but a control character (a line break, say) shows as '?'.
        std::wstring argument = argv[i];
        std::replace_if(argument.begin(), argument.end(), [](wchar_t unit) { return unit < L' '; }, L'?');
        LogLine((L"The argument \"" + argument + L"\" is refused: it takes whole seconds, 0 for no limit").c_str());
    }
    return std::nullopt;
}

}  // namespace

Operation ChooseOperation(int argc, const wchar_t* const* argv) {
    if (argc < 2) return Operation::RemoveProduct;
    const wchar_t* option = argv[1];
    if (StrCmpIW(option, L"-uninstall") == 0) return Operation::UnInstall;
    if (StrCmpIW(option, L"-install") == 0) return Operation::Install;
    if (StrCmpIW(option, L"-smoothupdate") == 0) return Operation::SmoothUpdate;
    if (StrCmpIW(option, L"-?") == 0) return Operation::ShowUsage;
    return Operation::Unknown;
}

DWORD ChooseEngineCallLimit(int argc, const wchar_t* const* argv) {
    if (const std::optional<DWORD> given = EngineCallTimeoutArgument(argc, argv)) return *given;
    const EngineCallLimit limit = EngineCallLimitFromPolicy();
    if (limit.setByPolicy && limit.seconds != kDefaultEngineCallLimitSeconds) {
        const std::wstring given = limit.seconds == 0 ? std::wstring(L"no time limit")
                                                      : L"at most " + std::to_wstring(limit.seconds) + L" s";
        LogLine((L"The engine library is given " + given + L" (policy EngineCallTimeout)").c_str());
    }
    return limit.seconds;
}

int ExitCodeFor(Operation operation, int result) {
    switch (operation) {
    case Operation::RemoveProduct:
    case Operation::UnInstall:
    case Operation::Install:
        return result == 1 ? 0 : -1;
    case Operation::SmoothUpdate:
    case Operation::ShowUsage:
        return result;
    case Operation::Unknown:
        break;
    }
    return -1;
}

HRESULT EngineDirFromImagePath(const wchar_t* imagePath, DWORD valueType, wchar_t* engineDir) {
    wchar_t expanded[MAX_PATH] = {};
    const wchar_t* text = imagePath;
    if (valueType == REG_EXPAND_SZ) {
        const DWORD needed = ExpandEnvironmentStringsW(imagePath, expanded, MAX_PATH);
        if (needed == 0 || needed > MAX_PATH) return E_FAIL;
        text = expanded;
    }
    // "C:\Program Files\Engine\zelserv.exe" -args: the path is what the quotes hold.
    wchar_t path[MAX_PATH] = {};
    if (text[0] == L'"') {
        const wchar_t* start = text + 1;
        const wchar_t* end = wcschr(start, L'"');
        const size_t length = end != nullptr ? static_cast<size_t>(end - start) : wcslen(start);
        if (wcsncpy_s(path, MAX_PATH, start, length) != 0) return E_FAIL;
    } else if (wcsncpy_s(path, MAX_PATH, text, _TRUNCATE) != 0) {
        return E_FAIL;
    }
    if (!PathRemoveFileSpecW(path)) return E_FAIL;
    return wcscpy_s(engineDir, MAX_PATH, path) == 0 ? S_OK : E_FAIL;
}

HRESULT _ReadEngineDir(wchar_t* engineDir) {
    if (engineDir == nullptr) return E_FAIL;
    engineDir[0] = L'\0';
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, products::kEngineServiceKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
        return E_FAIL;
    }
    wchar_t imagePath[MAX_PATH] = {};
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(imagePath);
    const LSTATUS status =
        RegQueryValueExW(key.Get(), L"ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(imagePath), &bytes);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return E_FAIL;
    // A value that fills the whole buffer without a terminator is refused.
    if (status == ERROR_SUCCESS && bytes == sizeof(imagePath) && imagePath[MAX_PATH - 1] != L'\0') {
        return E_FAIL;
    }
    return EngineDirFromImagePath(imagePath, type, engineDir);
}

bool _IsOnSafeDesktop() {
    Desktop desktop(OpenInputDesktop(0, FALSE, DESKTOP_ENUMERATE));
    // No input desktop to look at (a service session, say): not the safe one.
    if (!desktop) return false;
    DWORD neededBytes = 0;
    GetUserObjectInformationW(desktop.Get(), UOI_NAME, nullptr, 0, &neededBytes);
    if (neededBytes == 0) return false;
    std::unique_ptr<wchar_t[]> name(new (std::nothrow) wchar_t[neededBytes]());
    if (!name) return true;
    if (!GetUserObjectInformationW(desktop.Get(), UOI_NAME, name.get(), neededBytes * sizeof(wchar_t), nullptr)) {
        return false;
    }
    return _wcsnicmp(name.get(), products::kSafeDesktop, wcslen(name.get())) == 0;
}

int Init(CUnstallContext& context) {
    if (_IsOnSafeDesktop()) return 0;

    // A module path that does not fit (GetModuleFileNameW cut it short) is refused.
    DWORD length = GetModuleFileNameW(nullptr, context.programDir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 0;
    if (!PathRemoveFileSpecW(context.programDir)) return 0;

    length = GetModuleFileNameW(nullptr, context.programFile, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 0;
    PathStripPathW(context.programFile);

    if (wcscpy_s(context.solutionPath, MAX_PATH, context.programDir) != 0) return 0;
    if (!PathAppendW(context.solutionPath, kSolutionRelativePath)) return 0;

    if (_ReadEngineDir(context.engineDir) != S_OK) context.engineDir[0] = L'\0';
    context.initialised = 1;
    return 1;
}

int RunHandle(CUnstallContext& context) {
    if (context.initialised == 0) return -1;
    LogLine(L"Now, RunHandle");

    int argc = 0;
    LocalMemory arguments(reinterpret_cast<HLOCAL>(CommandLineToArgvW(GetCommandLineW(), &argc)));
    if (!arguments) return -1;
    const auto argv = static_cast<wchar_t**>(arguments.Get());
    const Operation operation = ChooseOperation(argc, argv);
    if (operation == Operation::Install || operation == Operation::UnInstall) {
        context.engineCallLimitSeconds = ChooseEngineCallLimit(argc, argv);
    }
    return RunOperation(context, operation, WorkflowFor(operation));
}

Workflow WorkflowFor(Operation operation) {
    switch (operation) {
    case Operation::RemoveProduct:
        return [](CUnstallContext& context) { return _DoRemoveProduct(context); };
    case Operation::UnInstall:
        return _DoUnInstall;
    case Operation::Install:
        return _DoInstall;
    case Operation::SmoothUpdate:
        return [](CUnstallContext& context) { return _DoSmoothUpdate(context); };
    case Operation::ShowUsage:
        return [](CUnstallContext&) { return _ShowUsage(); };
    case Operation::Unknown:
        break;
    }
    return nullptr;
}

int FailureExitCodeFor(Operation operation) {
    // The usage text's 0 would read as success.
    return operation == Operation::ShowUsage ? -1 : ExitCodeFor(operation, 0);
}

int RunOperation(CUnstallContext& context, Operation operation, Workflow workflow) {
    if (workflow == nullptr) return ExitCodeFor(operation, 0);
    SetLastChanceExitCode(FailureExitCodeFor(operation));
    try {
        return ExitCodeFor(operation, workflow(context));
    } catch (...) {
        runLog.DropUnfinishedLine();
        return FailureExitCodeFor(operation);
    }
}

int RunGuarded(Workflow run) {
    try {
        ParentConsole console;
        CUnstallContext context;
        if (!Init(context)) return 0;
        const int result = run(context);
        Uninit(context);
        return result;
    } catch (...) {
        // Left the scope above: the console is already released.
        runLog.DropUnfinishedLine();
        return -1;
    }
}

int Uninit(CUnstallContext& context) {
    if (context.solution != nullptr) {
        context.watchdog.Enter(EngineCall::Release);
        context.solution->Release();
        context.solution = nullptr;
        context.watchdog.Enter(EngineCall::Detach);
        if (context.comDll.module != nullptr && FreeLibrary(context.comDll.module)) {
            context.comDll.module = nullptr;
        }
    }
    context.watchdog.Stop();
    context.keeper.Stop();
    context.initialised = 0;
    return 1;
}

void _RedirectStdio() {
    BindStdStream(STD_INPUT_HANDLE, stdin, 0);
    SetConsoleScreenBufferSize(GetStdHandle(STD_OUTPUT_HANDLE), COORD{80, 300});
    BindStdStream(STD_OUTPUT_HANDLE, stdout, 1);
    BindStdStream(STD_ERROR_HANDLE, stderr, 2);
}

int _ShowUsage() {
    PrintText(L"\n*******************USE AGE*******************\n"
              L"syntax:\n"
              L"\\zelunst [option] param\n"
              L"option:\n"
              L"\t-install    install defend engine\n"
              L"example:\n"
              L"\tzelunst -install \n"
              L"\t-uninstall  uninstall defend engine\n"
              L"example:\n"
              L"\tzelunst -uninstall \n"
              L"\t-?  zelunst help msg\n"
              L"example:\n"
              L"\tzelunst -? \n");
    return 0;
}

ParentConsole::ParentConsole() {
    if (!consoleAttached && AttachConsole(ATTACH_PARENT_PROCESS)) {
        SetConsoleTitleW(L"defend engine");
        _RedirectStdio();
        consoleAttached = true;
    }
}

ParentConsole::~ParentConsole() {
    // The tool's own output is written at once (PrintText); the streams are
    // not flushed, as a library's thread may hold their locks.
    if (consoleAttached) {
        FreeConsole();
        consoleAttached = false;
    }
}
