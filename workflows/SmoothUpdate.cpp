#include "workflows/SmoothUpdate.h"

#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "base/Handles.h"
#include "base/Text.h"
#include "base/ToolPaths.h"
#include "exchange/UpdateExchange.h"
#include "filetree/FileTree.h"
#include "log/VLogger.h"
#include "system/ChildProcess.h"
#include "system/MiniDump.h"
#include "system/Processes.h"
#include "system/Products.h"
#include "system/Registry.h"
#include "system/Services.h"
#include "system/UserNotice.h"

namespace {

constexpr wchar_t kNoticeCaption[] = L"Ostiga需要升级";
constexpr wchar_t kNoticeText[] =
    L"Ostiga需要平滑升级到最新版本，这样将会关闭主程序。如果不进行平滑升级，Ostiga重启后将无法正常使用";
constexpr DWORD kMutexWaitMs = 5000;
constexpr DWORD kUninstallWaitMs = 5000;
constexpr DWORD kScanWaitMs = 20000;
// A folder like "C:\P" (four characters) is too close to a drive root to
// hand to the engine's framework removal.
constexpr size_t kShortestProgramDir = 4;

constexpr wchar_t kUninstallProductOption[] = L"/uninstall_product 0x000A0000";
constexpr wchar_t kCanUninstallFrameworkOption[] = L"/can_uninstall_framework";
constexpr wchar_t kUninstallOption[] = L"/uninstall";
constexpr wchar_t kInstallServiceOption[] = L"-install";
constexpr wchar_t kScanProductOption[] = L"-installproduct";
constexpr wchar_t kStartServiceOption[] = L"-start";

std::wstring ProgramIn(const wchar_t* dir, const wchar_t* program) { return std::wstring(dir) + L"\\" + program; }

// An engine program by its full path; empty when the engine's folder is
// unknown. "\zelserv.exe" would start whatever lies in the current drive's
// root, so such a program counts as one that cannot be started.
std::wstring EngineProgram(const ToolPaths& context, const wchar_t* program) {
    if (context.engineDir[0] == L'\0') return {};
    return ProgramIn(context.engineDir, program);
}

// Starts a child and waits for it up to timeoutMs; true when it ended, with
// any exit code. A child that cannot be started logs notStartedLine; one still
// running after the wait, or not waited for at all, logs stillRunningLine when
// there is one, and is left running.
bool RunStepWithin(Launch launch, const std::wstring& executable, const wchar_t* parameters, DWORD timeoutMs,
                   const wchar_t* notStartedLine, const wchar_t* stillRunningLine = nullptr) {
    const ChildRun child = executable.empty() ? ChildRun{}
                                              : RunChildWithin(launch, CommandLineFor(executable, parameters), timeoutMs);
    switch (child.end) {
    case ChildRun::End::NotStarted:
        LogLine(notStartedLine);
        return false;
    case ChildRun::End::StillRunning:
    case ChildRun::End::WaitFailed:
        if (stillRunningLine != nullptr) LogLine(stillRunningLine);
        return false;
    case ChildRun::End::Ended:
    case ChildRun::End::ExitCodeUnreadable:
        break;
    }
    return true;
}

std::wstring SecondsText(DWORD milliseconds) { return std::to_wstring(milliseconds / 1000) + L" s"; }

BOOL StartWithoutWaiting(Launch launch, const std::wstring& executable, const wchar_t* parameters) {
    if (executable.empty()) return FALSE;
    ProcessHandles child;
    return StartChild(launch, CommandLineFor(executable, parameters), child);
}

void MoveSettingsAside(const wchar_t* programDir) {
    const std::wstring settings = ProgramIn(programDir, L"settings.cfg");
    const std::wstring backup = settings + L".bak";
    // A read-only .bak refuses the move on Windows. When the move fails all
    // the same, the .bak keeps its attributes.
    const DWORD cleared = ClearBlockingAttributes(backup);
    if (!MoveFileExW(settings.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING) && cleared != 0) {
        SetFileAttributesW(backup.c_str(), cleared);
    }
}

// The folder of the running executable; empty when its path does not fit.
std::wstring ExecutableFolder() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    PathRemoveFileSpecW(folder);
    return folder;
}

bool StopEngineService() {
    LogLine(L"ZelUnstall_StopServices");
    const DWORD result = ZelUnstall_StopServices();
    if (result != ERROR_SUCCESS && result != ERROR_SERVICE_DOES_NOT_EXIST) {
        LogLine(L"ZelUnstall_StopServices Fail");
        return false;
    }
    return true;
}

bool RunEngineProductUninstall(const ToolPaths& context) {
    return RunStepWithin(Launch::Hidden, EngineProgram(context, products::kEngineProgram),
                         kUninstallProductOption, kUninstallWaitMs,
                         L"CreateProcess /uninstall_product 0x000A0000  Fail");
}

}  // namespace

bool _DoWaittingForExe(const std::function<bool()>& beforeTheEnd) {
    // The user can only acknowledge: the update goes on once the box is closed,
    // or at once when nobody can see it.
    ShowUserNotice(kNoticeText, kNoticeCaption, MB_OK | MB_ICONQUESTION);

    // Opened, never created: no mutex means nobody else is updating. Once the
    // wait succeeds this thread owns it until the tool exits.
    KernelHandle updateMutex(OpenMutexW(SYNCHRONIZE, FALSE, products::kUpdateMutex));
    if (updateMutex && WaitForSingleObject(updateMutex.Get(), kMutexWaitMs) != WAIT_OBJECT_0) {
        LogLine(L"Can not wait for reupdate");
        return false;
    }
    if (beforeTheEnd && !beforeTheEnd()) return false;
    if (!KillRUXMainProcess()) {
        LogLine(L"KillRUXMainProcess Fail ");
        return false;
    }
    LogLine(L"KillRUXMainProcess Success ");
    return true;
}

bool _CanUninstallFramework(const ToolPaths& context, const ChildRunner& run) {
    const std::wstring engineProgram = EngineProgram(context, products::kEngineProgram);
    if (engineProgram.empty()) return false;
    const ChildRun query = _RunAndWait(engineProgram.c_str(), kCanUninstallFrameworkOption, kFrameworkQueryWaitMs, run);
    // Taking the framework away from an engine that may still be using it is
    // the one choice that cannot be taken back: no answer is a no.
    if (query.end == ChildRun::End::StillRunning) {
        LogLine((L"zelserv.exe /can_uninstall_framework gave no answer within " + SecondsText(kFrameworkQueryWaitMs) +
                 L"; taken as no, left running")
                    .c_str());
    } else if (query.end != ChildRun::End::NotStarted && query.end != ChildRun::End::Ended) {
        LogLine((L"zelserv.exe /can_uninstall_framework " + FailedRunText(query) + L"; taken as no").c_str());
    }
    return query.end == ChildRun::End::Ended && query.exitCode != 0;
}

EngineInstallBound EngineInstallBoundFor(const EngineCallLimit& policy) {
    EngineInstallBound bound;
    bound.limitSeconds = policy.setByPolicy ? policy.seconds : kEngineInstallWaitMs / 1000;
    // A run without a limit is waited for as long as the update waits for any.
    bound.waitMs = bound.limitSeconds == 0 ? kEngineInstallWaitMs
                                           : EngineCallLimitMs(bound.limitSeconds, kReportBudgetMs + kEngineRunEndMs);
    return bound;
}

void InstallEngineInItsOwnProcess(const ToolPaths& context, const ChildRunner& run) {
    const EngineInstallBound bound = EngineInstallBoundFor(EngineCallLimitFromPolicy());
    const std::wstring commandLine =
        CommandLineFor(ProgramIn(context.programDir, context.programFile),
                       L"-install " + std::wstring(kEngineCallTimeoutArgument) + std::to_wstring(bound.limitSeconds));
    LogLine((L"Install the engine in a process of its own: " + commandLine).c_str());
    const ChildRun install = run(Launch::WindowlessSharingOutput, commandLine, bound.waitMs);
    if (install.handOnRefused != ERROR_SUCCESS) {
        LogLine((L"The engine install got no standard handles: the system refused them (error " +
                 std::to_wstring(install.handOnRefused) + L")")
                    .c_str());
    }
    const std::wstring process =
        install.end == ChildRun::End::NotStarted
            ? std::wstring(L"The engine install")
            : L"The engine install (process " + std::to_wstring(install.processId) + L")";
    switch (install.end) {
    case ChildRun::End::Ended:
        if (install.exitCode != 0) {
            LogLine((process + L" failed with exit code " + HexCode(install.exitCode) + L"; the update goes on")
                        .c_str());
        }
        break;
    case ChildRun::End::StillRunning:
        LogLine((process + L" is still running after " + SecondsText(bound.waitMs) +
                 L"; left running, the update goes on")
                    .c_str());
        break;
    case ChildRun::End::NotStarted:
    case ChildRun::End::WaitFailed:
    case ChildRun::End::ExitCodeUnreadable:
        LogLine((process + L" " + FailedRunText(install) + L"; the update goes on").c_str());
        break;
    }
}

bool _DoUninstalZelServ(const ToolPaths& context) {
    LogLine(L"Deinstall /uninstall");
    // The deinstaller has no failure text of its own: its line is repeated.
    if (!RunStepWithin(Launch::Hidden, ProgramIn(context.programDir, products::kDeinstaller), kUninstallOption,
                       kUninstallWaitMs, L"Deinstall /uninstall")) {
        return false;
    }
    LogLine(L"zelserv /uninstall");
    return RunStepWithin(Launch::Hidden, EngineProgram(context, products::kEngineProgram), kUninstallOption,
                         kUninstallWaitMs, L"zelserv /uninstall Fail ");
}

bool _DoInstallRUXServ(const ToolPaths& context) {
    return StartWithoutWaiting(Launch::Windowless, ProgramIn(context.programDir, products::kProductServiceProgram),
                               kInstallServiceOption) != FALSE;
}

bool _DoRUXServScanProduct(const ToolPaths& context) {
    return RunStepWithin(Launch::Windowless, ProgramIn(context.programDir, products::kProductServiceProgram),
                         kScanProductOption, kScanWaitMs, L"ruxserv.exe -installproduct ",
                         L"ruxserv.exe -installproduct Wait fail");
}

bool _WaitAndStartServ() {
    DWORD state = 0;
    if (VMyQueryServicState(&state) != S_OK) {
        LogLine(L"_WaitAndStartServ VMyQueryServicState fail");
        return false;
    }
    // Already running: there is nothing to start.
    if (state == SERVICE_RUNNING) return true;

    const std::wstring folder = ExecutableFolder();
    if (folder.empty() ||
        !_DoCreateProcess(ProgramIn(folder.c_str(), products::kProductServiceProgram), kStartServiceOption, folder)) {
        LogLine(L"_WaitAndStartServ _DoCreateProcess fail");
        return false;
    }
    return true;
}

namespace {

// The steps from the user's notice to the engine's framework removal. The
// staged files are written beside the product's once the update mutex is
// held, while the product still runs; a failure there ends the update before
// anything is ended or stopped.
bool StopTheProduct(const ToolPaths& context, UpdateExchange& exchange) {
    const size_t programDirLength = wcslen(context.programDir);
    bool stagingFailed = false;
    const bool waited = _DoWaittingForExe([&]() {
        stagingFailed = !exchange.Stage();
        if (stagingFailed) LogLine(L"_DoStageUpdateFiles Fail");
        return !stagingFailed;
    });
    if (!waited) {
        if (!stagingFailed) LogLine(L"_DoWaittingForExe Fail");
        return false;
    }
    if (!StopEngineService()) return false;
    if (!RunEngineProductUninstall(context)) return false;

    if (programDirLength > kShortestProgramDir && _CanUninstallFramework(context)) {
        LogLine(L"zelserv //uninstall, deinstall //uninstall ");
        if (!_DoUninstalZelServ(context)) {
            LogLine(L"_DoUninstalZelServ Fail");
            return false;
        }
    }
    return true;
}

}  // namespace

int _DoSmoothUpdate(const ToolPaths& context) {
    const size_t programDirLength = wcslen(context.programDir);
    if (programDirLength < kShortestProgramDir) return 0;

    UpdateExchange exchange(context, [](const std::wstring& folder) { FlushVolumeOf(folder); },
                            [](DWORD ms) { Sleep(ms); });
    if (!StopTheProduct(context, exchange)) {
        // Nothing of the product was changed: what was staged goes.
        exchange.Abandon();
        exchange.Finish();
        return 0;
    }

    // The product is down from here until its service is installed again:
    // only the switch runs in this time.
    LogLine(L"_DoCopyAndDelFile");
    const bool switched = exchange.Switch();
    if (!switched) {
        exchange.Finish();
        LogLine(L"_DoCopyAndDelFile Fail");
        return 0;
    }
    DeleteLowercaseRunValue();
    MoveSettingsAside(context.programDir);

    // The engine's own code may crash or hang: it runs in a process of its
    // own, and the product comes back whatever becomes of it.
    InstallEngineInItsOwnProcess(context);

    LogLine(L"To do _DoInstallRUXServ");
    const bool installing = _DoInstallRUXServ(context);
    // The backup of a switch that went through is deleted once the product's
    // service is being installed again, out of the time the product is down.
    exchange.Finish();
    if (!installing) {
        LogLine(L"_DoInstallRUXServ Fail");
        return 0;
    }
    if (!_DoRUXServScanProduct(context)) {
        LogLine(L"_DoRUXServScanProduct Fail");
        return 0;
    }
    if (!_WaitAndStartServ()) {
        LogLine(L"_WaitAndStartServ Fail");
        return 0;
    }
    StartWithoutWaiting(Launch::Plain, EngineProgram(context, products::kRegistrationProgram),
                        products::kRegistrationParameters);
    return 1;
}
