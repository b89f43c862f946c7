#pragma once
// In-place update of the protection product ("-smoothupdate").

#include <windows.h>

#include <functional>

#include "system/ChildProcess.h"
#include "system/EngineCallLimit.h"

struct ToolPaths;

// 1 when every step succeeded, 0 otherwise.
int _DoSmoothUpdate(const ToolPaths& context);

// Tells the user, waits for the product's update mutex, runs beforeTheEnd
// (when given) and ends the main program. False, with its line logged, when
// the wait or the ending fails; false without a line of its own when
// beforeTheEnd returns false, and the main program is not ended then.
bool _DoWaittingForExe(const std::function<bool()>& beforeTheEnd = {});
// True when the engine says its framework may be removed (non-zero exit
// code). An engine that has not answered within kFrameworkQueryWaitMs counts
// as one that said no; that is logged, and the query is left running.
bool _CanUninstallFramework(const ToolPaths& context, const ChildRunner& run = RunChildWithin);
inline constexpr DWORD kFrameworkQueryWaitMs = 60000;
// Runs the deinstaller, then the engine service uninstall, each within 5000 ms.
bool _DoUninstalZelServ(const ToolPaths& context);
// Starts the product service's install; true when it was started.
bool _DoInstallRUXServ(const ToolPaths& context);
// Runs the product scan; true when it ended within 20000 ms.
bool _DoRUXServScanProduct(const ToolPaths& context);
// Starts the product service unless it is already running.
bool _WaitAndStartServ();

// Installs the engine again, in a process of its own: the tool itself run with
// "-install" and the update's bound as its engine library's limit, its output
// going where the tool's goes. Whatever becomes of it (an exit code, a crash,
// a hang that it ends itself, one it does not end, no start at all) the
// update goes on; the start and every outcome but success are logged.
void InstallEngineInItsOwnProcess(const ToolPaths& context, const ChildRunner& run = RunChildWithin);
// The update's own bound on the engine install, unless an administrator set
// the engine library's limit.
inline constexpr DWORD kEngineInstallWaitMs = 120000;
// Beyond its limit and the time its report may take, what an engine run may
// take: 30 s to start its record keeper, its dump's writer and its watch on a
// machine too busy to start them at once, 5 s to dismiss its keeper, and 5 s
// to log its end.
inline constexpr DWORD kEngineRunEndMs = 40000;

struct EngineInstallBound {
    DWORD limitSeconds;  // handed to the engine run (0: no limit)
    DWORD waitMs;        // how long the update waits for that run
};
// The engine install's bound under the policy value: the administrator's
// limit where one is set, else the update's own; waited for up to the limit,
// the time its report may take (kReportBudgetMs) and kEngineRunEndMs, and
// a run without a limit up to kEngineInstallWaitMs.
EngineInstallBound EngineInstallBoundFor(const EngineCallLimit& policy);
