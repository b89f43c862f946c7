#include "standins/common/ProductInstaller.h"

#include <tlhelp32.h>

#include <vector>

#include "base/Handles.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "standins/common/Self.h"
#include "standins/common/ServiceControl.h"
#include "system/Products.h"

namespace standin {

namespace {

constexpr DWORD kCleanUpStopWaitMs = 10000;
// A service polls its settings four times a second; this covers one poll.
constexpr DWORD kSettingsPollGraceMs = 400;

struct Copy {
    const wchar_t* file;
    const wchar_t* targetFolder;  // below the product or engine folder, "" for itself
};

bool ExistingFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

InstallResult Failed(DWORD error, const std::wstring& step) { return InstallResult{error, step}; }

InstallResult CopyFiles(const std::wstring& binDir, const std::wstring& root, const std::vector<Copy>& copies) {
    for (const Copy& copy : copies) {
        const std::wstring folder = copy.targetFolder[0] == L'\0' ? root : root + L"\\" + copy.targetFolder;
        if (!CreateDirectoryChain(folder)) return Failed(GetLastError(), L"create " + folder);
        const std::wstring source = binDir + L"\\" + copy.file;
        const std::wstring target = folder + L"\\" + copy.file;
        if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) return Failed(GetLastError(), L"copy " + source);
    }
    return {};
}

DWORD SetRunValue(const std::wstring& command) {
    RegKey key;
    const LSTATUS opened = RegCreateKeyExW(HKEY_CURRENT_USER, products::kRunKey, 0, nullptr, 0, KEY_SET_VALUE,
                                           nullptr, key.Put(), nullptr);
    if (opened != ERROR_SUCCESS) return static_cast<DWORD>(opened);
    return static_cast<DWORD>(RegSetValueExW(key.Get(), products::kRunValue, 0, REG_SZ,
                                             reinterpret_cast<const BYTE*>(command.c_str()),
                                             static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))));
}

DWORD WriteKernelServiceKey() {
    RegKey key;
    const LSTATUS created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, products::kKernelServiceKey, 0, nullptr, 0,
                                            KEY_SET_VALUE, nullptr, key.Put(), nullptr);
    if (created != ERROR_SUCCESS) return static_cast<DWORD>(created);
    const DWORD type = SERVICE_KERNEL_DRIVER;
    const DWORD start = SERVICE_DISABLED;
    const wchar_t imagePath[] = L"system32\\drivers\\nydkernel.sys";
    LSTATUS status = RegSetValueExW(key.Get(), L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type),
                                    sizeof(type));
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key.Get(), L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&start),
                                sizeof(start));
    }
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key.Get(), L"ImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(imagePath),
                                sizeof(imagePath));
    }
    return static_cast<DWORD>(status);
}

void DeleteRunValue() {
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, products::kRunKey, 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS) return;
    RegDeleteValueW(key.Get(), products::kRunValue);
}

// Lets a refusing or slow service stop: its settings go, and it notices.
void RemoveServiceSettings(const std::wstring& serviceName) {
    const std::wstring program = ServiceProgramPath(serviceName);
    if (program.empty()) return;
    if (DeleteFileW(PathsFor(program).settingsPath.c_str())) Sleep(kSettingsPollGraceMs);
}

}  // namespace

InstallResult InstallStandInProduct(const std::wstring& binDir, const std::wstring& productDir,
                                    const std::wstring& engineDir, const InstallChoices& choices) {
    std::vector<Copy> productCopies;
    if (choices.tool) productCopies.push_back({L"zelunst.exe", L""});
    if (choices.productPrograms) {
        productCopies.insert(productCopies.end(),
                             {{L"ruxserv.exe", L""}, {L"ruxmain.exe", L""}, {L"deinstall.exe", L""},
                              {L"shellext.dll", L""}});
    }
    if (choices.uninstaller) productCopies.push_back({L"unins000.exe", L"uninstall"});
    if (choices.solution && ExistingFile(binDir + L"\\zeldecs.dll")) {
        productCopies.push_back({L"zeldecs.dll", L"subsystem\\zelde"});
    }
    if (!CreateDirectoryChain(productDir)) return Failed(GetLastError(), L"create " + productDir);
    InstallResult result = CopyFiles(binDir, productDir, productCopies);
    if (!result.ok()) return result;

    if (choices.enginePrograms) {
        if (!CreateDirectoryChain(engineDir)) return Failed(GetLastError(), L"create " + engineDir);
        result = CopyFiles(binDir, engineDir, {{L"zelserv.exe", L""}, {L"izelreg.exe", L""}});
        if (!result.ok()) return result;
    }
    if (choices.engineService) {
        const DWORD error = RegisterService(products::kEngineService, QuoteIfNeeded(engineDir + L"\\zelserv.exe"));
        if (error != ERROR_SUCCESS) return Failed(error, L"register service zelserv");
    }
    if (choices.productService) {
        const DWORD error = RegisterService(products::kProductService, L"\"" + productDir + L"\\ruxserv.exe\"");
        if (error != ERROR_SUCCESS) return Failed(error, L"register service ruxserv");
    }
    if (choices.runValue) {
        const DWORD error = SetRunValue(QuoteIfNeeded(productDir + L"\\ruxmain.exe"));
        if (error != ERROR_SUCCESS) return Failed(error, L"set Run value RUXMain");
    }
    if (choices.kernelServiceKey) {
        const DWORD error = WriteKernelServiceKey();
        if (error != ERROR_SUCCESS) return Failed(error, L"write the nydkernel service key");
    }
    return {};
}

void UninstallStandInProduct() {
    EndProcessesNamed(products::kMainProgram, 5000);
    for (const wchar_t* service : {products::kEngineService, products::kProductService}) {
        RemoveServiceSettings(service);
        RemoveService(service, kCleanUpStopWaitMs);
    }
    DeleteRunValue();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, products::kKernelServiceKey);
}

std::wstring ServiceProgramPath(const std::wstring& name) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return {};
    ServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service) return {};
    DWORD needed = 0;
    QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    if (needed == 0) return {};
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.Get(), config, needed, &needed) || config->lpBinaryPathName == nullptr) {
        return {};
    }
    return Unquoted(config->lpBinaryPathName);
}

std::wstring MainProgramRunValue() {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, products::kRunKey, products::kRunValue, RRF_RT_REG_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS ||
        bytes == 0) {
        return {};
    }
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, products::kRunKey, products::kRunValue, RRF_RT_REG_SZ, nullptr,
                     value.data(), &bytes) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

namespace {

// Terminates every other process for which matches(entry, process) holds and
// waits up to waitMs for each; how many were ended.
template <typename Matches>
int EndProcessesWhere(Matches matches, DWORD waitMs) {
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    int ended = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         entry.th32ProcessID));
        if (!process || !matches(entry, process.Get())) continue;
        if (TerminateProcess(process.Get(), 0)) {
            WaitForSingleObject(process.Get(), waitMs);
            ++ended;
        }
    }
    return ended;
}

}  // namespace

int EndProcessesNamed(const std::wstring& imageName, DWORD waitMs) {
    return EndProcessesWhere(
        [&imageName](const PROCESSENTRY32W& entry, HANDLE) {
            return lstrcmpiW(entry.szExeFile, imageName.c_str()) == 0;
        },
        waitMs);
}

int EndProcessesIn(const std::wstring& folder, DWORD waitMs) {
    const std::wstring prefix = folder + L"\\";
    std::wstring image(kLongestPath, L'\0');
    return EndProcessesWhere(
        [&prefix, &image](const PROCESSENTRY32W&, HANDLE process) {
            DWORD size = kLongestPath;
            return QueryFullProcessImageNameW(process, 0, image.data(), &size) && size > prefix.size() &&
                   CompareStringOrdinal(image.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                        static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
        },
        waitMs);
}

}  // namespace standin
