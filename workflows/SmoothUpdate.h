#pragma once
// In-place update of the protection product ("-smoothupdate").

#include <functional>

struct ToolPaths;

// Installs the engine again once the product's files are exchanged; its
// result is not used. The launcher hands in its solution loader.
using EngineInstall = std::function<int()>;

// 1 when every step succeeded, 0 otherwise.
int _DoSmoothUpdate(const ToolPaths& context, const EngineInstall& installEngine);

// Tells the user, waits for the product's update mutex and ends the main program.
bool _DoWaittingForExe();
// True when the engine says its framework may be removed (non-zero exit code).
bool _CanUninstallFramework(const ToolPaths& context);
// Runs the deinstaller, then the engine service uninstall, each within 5000 ms.
bool _DoUninstalZelServ(const ToolPaths& context);
// Starts the product service's install; true when it was started.
bool _DoInstallRUXServ(const ToolPaths& context);
// Runs the product scan; true when it ended within 20000 ms.
bool _DoRUXServScanProduct(const ToolPaths& context);
// Starts the product service unless it is already running.
bool _WaitAndStartServ();
