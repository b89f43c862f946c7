#pragma once
// Removal of the protection product (the tool run without an option).

#include <windows.h>

#include <functional>
#include <string>

#include "system/ChildProcess.h"
#include "system/Services.h"

struct ToolPaths;

// 1 when the product's uninstaller was started, 0 otherwise.
int _DoRemoveProduct(const ToolPaths& context);
// Has the service program stop the product's service ("-stop"), and waits for
// it up to kServiceStopWaitMs; one still running then is logged and left
// running. The service manager, not the program, tells whether it stopped.
void StopThroughServiceProgram(const std::wstring& serviceProgram, const ChildRunner& run = RunChildWithin);
inline constexpr DWORD kServiceStopWaitMs = 60000;
// Deletes the deinstaller copies in the product folder and the common files
// folder (the second only when the first exists). Always 1.
int _DeleteDeinstall(const ToolPaths& context);
// Starts the uninstaller in `folder`, shown. 1 when the last start succeeded.
int _RunUninstaller(const wchar_t* folder);

// Looks at the service up to six times, sleeping 1000 ms after each of the
// first five looks (also after the one that saw it stopped); stops early once
// it was seen stopped. True when it was seen stopped; false when it never was
// or the service manager could not be opened (then at once).
bool PollServiceStopped(const std::function<ServiceLook()>& look, const std::function<void(DWORD)>& sleep);

// The paths of one removal, all formed from the program directory. Empty
// secondDeinstallCopy when the common files folder is unknown or too long.
struct RemovalPaths {
    std::wstring serviceProgram;  // programDir + "/ruxserv.exe"
    std::wstring uninstallFolder;
    std::wstring firstDeinstallCopy;
    std::wstring directUninstaller;
    std::wstring searchPattern;
};
// False when the program directory is too long for any of them to fit in
// MAX_PATH: nothing may then be tested, deleted or started.
bool BuildRemovalPaths(const std::wstring& programDir, RemovalPaths& paths);
// commonFilesDir + "\Draveno\CommonService\deinstall.exe", or empty when the
// folder is unknown or the path would not fit.
std::wstring SecondDeinstallCopy(const std::wstring& commonFilesDir);
