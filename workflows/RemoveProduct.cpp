#include "workflows/RemoveProduct.h"

#include <shlwapi.h>

#include <cwchar>

#include "base/Handles.h"
#include "base/ToolPaths.h"
#include "log/VLogger.h"
#include "system/ChildProcess.h"
#include "system/Products.h"
#include "system/Registry.h"
#include "system/Services.h"
#include "system/ShellFolders.h"
#include "system/UserNotice.h"

namespace {

constexpr wchar_t kStopOption[] = L"-stop";
constexpr wchar_t kNotStoppedText[] = L"不能够关闭Ostiga服务，请重启电脑后在卸载!";
constexpr wchar_t kNotStoppedCaption[] = L"PellunaOstiga";
constexpr int kSleepingLooks = 5;
constexpr DWORD kLookIntervalMs = 1000;

bool FitsMaxPath(const std::wstring& path) { return path.size() < MAX_PATH; }

// dir joined with name by one backslash, as PathAppendW joins them.
std::wstring JoinPath(const std::wstring& dir, const std::wstring& name) {
    if (dir.empty() || dir.back() == L'\\') return dir + name;
    return dir + L'\\' + name;
}

BOOL StartUninstaller(const std::wstring& executable) {
    ProcessHandles child;
    return StartShown(executable, child);
}

void ReportServiceNotStopped() {
    ShowUserNotice(kNotStoppedText, kNotStoppedCaption, MB_OK);
    _SetServiceDemandStart(products::kProductServiceKey);
    _SetServiceDemandStart(products::kKernelServiceKey);
    _DeleteRunValue();
}

}  // namespace

bool PollServiceStopped(const std::function<ServiceLook()>& look, const std::function<void(DWORD)>& sleep) {
    bool stopped = false;
    for (int sleepsLeft = kSleepingLooks;; --sleepsLeft) {
        const ServiceLook seen = look();
        if (seen == ServiceLook::ManagerUnavailable) return false;
        if (seen == ServiceLook::Stopped) stopped = true;
        if (sleepsLeft == 0) break;
        sleep(kLookIntervalMs);
        if (stopped) break;
    }
    return stopped;
}

bool BuildRemovalPaths(const std::wstring& programDir, RemovalPaths& paths) {
    // The service program path keeps the forward slash the product has always used.
    paths.serviceProgram = programDir + L"/" + products::kProductServiceProgram;
    paths.uninstallFolder = JoinPath(programDir, L"uninstall");
    paths.firstDeinstallCopy = programDir + L"\\" + products::kDeinstaller;
    paths.directUninstaller = JoinPath(paths.uninstallFolder, L"unins000.exe");
    paths.searchPattern = JoinPath(paths.uninstallFolder, L"*.exe");
    return !programDir.empty() && FitsMaxPath(paths.serviceProgram) && FitsMaxPath(paths.uninstallFolder) &&
           FitsMaxPath(paths.firstDeinstallCopy) && FitsMaxPath(paths.directUninstaller) &&
           FitsMaxPath(paths.searchPattern);
}

std::wstring SecondDeinstallCopy(const std::wstring& commonFilesDir) {
    // Without the common files folder the path would name the drive's root.
    if (commonFilesDir.empty()) return {};
    std::wstring path = commonFilesDir + L"\\Draveno\\CommonService\\" + products::kDeinstaller;
    return FitsMaxPath(path) ? path : std::wstring();
}

int _DeleteDeinstall(const ToolPaths& context) {
    RemovalPaths paths;
    if (!BuildRemovalPaths(context.programDir, paths)) return 1;
    wchar_t commonFiles[MAX_PATH] = {};
    const std::wstring secondCopy = SecondDeinstallCopy(_GetCommonFilesDir(commonFiles));
    if (PathFileExistsW(paths.firstDeinstallCopy.c_str())) {
        DeleteFileW(paths.firstDeinstallCopy.c_str());
        if (!secondCopy.empty()) DeleteFileW(secondCopy.c_str());
    }
    return 1;
}

int _RunUninstaller(const wchar_t* folder) {
    const std::wstring uninstallFolder = folder;
    const std::wstring directUninstaller = JoinPath(uninstallFolder, L"unins000.exe");
    const std::wstring pattern = JoinPath(uninstallFolder, L"*.exe");
    if (!FitsMaxPath(directUninstaller) || !FitsMaxPath(pattern)) return 0;

    if (PathFileExistsW(directUninstaller.c_str())) return StartUninstaller(directUninstaller) ? 1 : 0;

    WIN32_FIND_DATAW entry{};
    FindHandle search(FindFirstFileW(pattern.c_str(), &entry));
    if (!search) return 0;
    int result = 0;
    do {
        // Any name holding both parts, case-sensitively: unins000_old.exe yes, Unins000.exe no.
        if (wcsstr(entry.cFileName, L".exe") == nullptr || wcsstr(entry.cFileName, L"unins000") == nullptr) {
            continue;
        }
        const std::wstring candidate = JoinPath(uninstallFolder, entry.cFileName);
        result = FitsMaxPath(candidate) && StartUninstaller(candidate) ? 1 : 0;
    } while (FindNextFileW(search.Get(), &entry));
    return result;
}

void StopThroughServiceProgram(const std::wstring& serviceProgram, const ChildRunner& run) {
    // Its verdict is not trusted: the service manager decides.
    const ChildRun stop = _RunAndWait(serviceProgram.c_str(), kStopOption, kServiceStopWaitMs, run);
    if (stop.end == ChildRun::End::StillRunning) {
        LogLine((L"ruxserv.exe -stop still running after " + std::to_wstring(kServiceStopWaitMs / 1000) +
                 L" s; left running")
                    .c_str());
    } else if (stop.end == ChildRun::End::WaitFailed) {
        LogLine((L"ruxserv.exe -stop " + FailedRunText(stop)).c_str());
    }
}

int _DoRemoveProduct(const ToolPaths& context) {
    RemovalPaths paths;
    if (!BuildRemovalPaths(context.programDir, paths)) return 0;
    if (!PathFileExistsW(paths.serviceProgram.c_str())) return 0;

    StopThroughServiceProgram(paths.serviceProgram);

    if (!PollServiceStopped(LookAtProductService, Sleep)) {
        ReportServiceNotStopped();
        return 0;
    }
    _DeleteDeinstall(context);
    return _RunUninstaller(paths.uninstallFolder.c_str());
}
