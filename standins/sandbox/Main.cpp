// zelsandbox: the stand-in product in a Windows prefix, for trying the tool.
//
//   zelsandbox install <productDir> <engineDir> [--without-<piece>]...
//       copies the tool and the stand-ins from this program's folder as the
//       products would be installed and registers them; pieces: tool,
//       product-programs, uninstaller, solution, engine-programs,
//       engine-service, product-service, run-value, kernel-service-key
//   zelsandbox uninstall
//       ends ruxmain.exe, stops and deletes both services, deletes the Run value
//       and the "nydkernel" key
//   zelsandbox start-product
//       starts the services "zelserv" and "ruxserv" and the main program
//   zelsandbox start <exePath>
//       starts a program without a window and does not wait for it
//   zelsandbox state [<productDir> <engineDir> [<folder>...]]
//       prints the services, the Run value, what waits to be deleted at the
//       next restart and the record lines of every stand-in in the product's
//       and the engine's folders (by default those of the registered
//       services) and in the further folders
//   zelsandbox settings <exePath> [key=value]...
//       replaces the stand-in's settings file (none: removes it)
//   zelsandbox run <exePath> [argument]...
//       runs a program in this console, waits for it and prints its exit
//       code in full (a Unix shell sees only its low eight bits)
#include <windows.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/Files.h"
#include "base/Handles.h"
#include "base/Text.h"
#include "standins/common/CommandLineProgram.h"
#include "standins/common/PendingDeletions.h"
#include "standins/common/ProductInstaller.h"
#include "standins/common/RecordFormat.h"
#include "standins/common/Self.h"
#include "standins/common/ServiceControl.h"
#include "standins/common/Settings.h"
#include "system/Products.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

int Usage() {
    std::printf(
        "usage: zelsandbox install <productDir> <engineDir> [--without-<piece>]...\n"
        "       zelsandbox uninstall\n"
        "       zelsandbox start-product\n"
        "       zelsandbox start <exePath>\n"
        "       zelsandbox state [<productDir> <engineDir> [<folder>...]]\n"
        "       zelsandbox settings <exePath> [key=value]...\n"
        "       zelsandbox run <exePath> [argument]...\n"
        "pieces: tool, product-programs, uninstaller, solution, engine-programs,\n"
        "        engine-service, product-service, run-value, kernel-service-key\n");
    return kUsage;
}

// Clears the choice named by "--without-<piece>"; false for an unknown piece.
bool LeaveOut(const std::wstring& flag, standin::InstallChoices& choices) {
    const std::map<std::wstring, bool standin::InstallChoices::*> pieces = {
        {L"tool", &standin::InstallChoices::tool},
        {L"product-programs", &standin::InstallChoices::productPrograms},
        {L"uninstaller", &standin::InstallChoices::uninstaller},
        {L"solution", &standin::InstallChoices::solution},
        {L"engine-programs", &standin::InstallChoices::enginePrograms},
        {L"engine-service", &standin::InstallChoices::engineService},
        {L"product-service", &standin::InstallChoices::productService},
        {L"run-value", &standin::InstallChoices::runValue},
        {L"kernel-service-key", &standin::InstallChoices::kernelServiceKey}};
    const std::wstring prefix = L"--without-";
    if (flag.compare(0, prefix.size(), prefix) != 0) return false;
    const auto piece = pieces.find(flag.substr(prefix.size()));
    if (piece == pieces.end()) return false;
    choices.*(piece->second) = false;
    return true;
}

int Install(const std::vector<std::wstring>& arguments) {
    if (arguments.size() < 3) return Usage();
    standin::InstallChoices choices;
    for (size_t i = 3; i < arguments.size(); ++i) {
        if (!LeaveOut(arguments[i], choices)) return Usage();
    }
    const std::wstring binDir = standin::PathsOfThisProcess().folder;
    const standin::InstallResult result =
        standin::InstallStandInProduct(binDir, arguments[1], arguments[2], choices);
    if (!result.ok()) {
        std::printf("install failed: %s: error %lu\n", ToUtf8(result.failedStep).c_str(),
                    static_cast<unsigned long>(result.error));
        return kFailed;
    }
    std::printf("installed: product %s, engine %s\n", ToUtf8(arguments[1]).c_str(), ToUtf8(arguments[2]).c_str());
    return 0;
}

int Uninstall() {
    standin::UninstallStandInProduct();
    std::printf("uninstalled: services zelserv and ruxserv deleted, Run value removed\n");
    return 0;
}

DWORD StartProgram(const std::wstring& path) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = QuoteIfNeeded(path);
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
        return GetLastError();
    }
    const ProcessHandles handles(info);
    return ERROR_SUCCESS;
}

int StartProduct() {
    int result = 0;
    for (const wchar_t* service : {products::kEngineService, products::kProductService}) {
        const DWORD error = standin::StartServiceByName(service);
        std::printf("start service %s: %lu\n", ToUtf8(service).c_str(), static_cast<unsigned long>(error));
        if (error != ERROR_SUCCESS) result = kFailed;
    }
    const std::wstring mainProgram = Unquoted(standin::MainProgramRunValue());
    const DWORD error = mainProgram.empty() ? ERROR_FILE_NOT_FOUND : StartProgram(mainProgram);
    std::printf("start %s: %lu\n", ToUtf8(mainProgram).c_str(), static_cast<unsigned long>(error));
    return error == ERROR_SUCCESS ? result : kFailed;
}

int Start(const std::vector<std::wstring>& arguments) {
    if (arguments.size() != 2) return Usage();
    const DWORD error = StartProgram(arguments[1]);
    std::printf("start %s: %lu\n", ToUtf8(arguments[1]).c_str(), static_cast<unsigned long>(error));
    return error == ERROR_SUCCESS ? 0 : kFailed;
}

void PrintService(const wchar_t* name) {
    const std::wstring program = standin::ServiceProgramPath(name);
    const DWORD state = standin::QueryServiceState(name);
    if (state == 0 && program.empty()) {
        std::printf("service %s: not installed\n", ToUtf8(name).c_str());
        return;
    }
    std::printf("service %s: %s, %s\n", ToUtf8(name).c_str(), standin::ServiceStateName(state),
                ToUtf8(program).c_str());
}

// The stand-in programs' lines by their main fields; lines of another form
// (the solution library's) as they are.
std::string Summary(const std::string& raw) {
    const std::vector<standin::Record> parsed = standin::ParseRecords(raw);
    if (parsed.empty() || !parsed[0].Has("event")) return raw;
    const standin::Record& record = parsed[0];
    std::string line = record.Get("event");
    for (const char* key : {"pid", "service", "option", "cmdline", "cwd", "flags", "show", "result", "exit_code",
                            "refused", "stop_delay_ms", "accepted", "path", "error", "wait"}) {
        if (record.Has(key)) line += std::string("  ") + key + "=" + record.Get(key);
    }
    return line;
}

void PrintRecords(const std::wstring& recordPath) {
    const std::optional<std::string> read = ReadWholeFile(recordPath);
    if (!read) return;
    const std::string& bytes = *read;
    std::printf("%s:\n", ToUtf8(recordPath).c_str());
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string raw = bytes.substr(start, end - start);
        start = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (!raw.empty()) std::printf("  %s\n", Summary(raw).c_str());
    }
}

void PrintRecordsIn(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW((folder + L"\\*.record").c_str(), &entry));
    if (!find) return;
    do {
        PrintRecords(folder + L"\\" + entry.cFileName);
    } while (FindNextFileW(find.Get(), &entry));
}

int State(const std::vector<std::wstring>& arguments) {
    std::wstring productDir = FolderOf(standin::ServiceProgramPath(products::kProductService));
    std::wstring engineDir = FolderOf(standin::ServiceProgramPath(products::kEngineService));
    std::vector<std::wstring> folders;
    if (arguments.size() >= 3) {
        productDir = arguments[1];
        engineDir = arguments[2];
        folders.assign(arguments.begin() + 3, arguments.end());
    } else if (arguments.size() != 1) {
        return Usage();
    }
    PrintService(products::kEngineService);
    PrintService(products::kProductService);
    const std::wstring runValue = standin::MainProgramRunValue();
    std::printf("Run value %s: %s\n", ToUtf8(products::kRunValue).c_str(),
                runValue.empty() ? "absent" : ToUtf8(runValue).c_str());
    const std::vector<std::wstring> pending = standin::PendingDeletions();
    std::printf("deleted at the next restart:%s\n", pending.empty() ? " nothing" : "");
    for (const std::wstring& path : pending) std::printf("  %s\n", ToUtf8(path).c_str());
    folders.insert(folders.begin(),
                   {productDir, productDir + L"\\uninstall", productDir + L"\\subsystem\\zelde", engineDir});
    for (const std::wstring& folder : folders) {
        if (!folder.empty() && folder[0] != L'\\') PrintRecordsIn(folder);
    }
    return 0;
}

int WriteSettingsFile(const std::vector<std::wstring>& arguments) {
    if (arguments.size() < 2) return Usage();
    std::map<std::string, std::string> values;
    for (size_t i = 2; i < arguments.size(); ++i) {
        const std::string pair = ToUtf8(arguments[i]);
        const size_t equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) return Usage();
        values[pair.substr(0, equals)] = pair.substr(equals + 1);
    }
    const std::wstring path = standin::PathsFor(arguments[1]).settingsPath;
    if (!standin::WriteSettingsFile(path, values)) {
        std::printf("cannot write %s: %lu\n", ToUtf8(path).c_str(), static_cast<unsigned long>(GetLastError()));
        return kFailed;
    }
    return 0;
}

int Run(const std::vector<std::wstring>& arguments) {
    if (arguments.size() < 2) return Usage();
    std::wstring commandLine = QuoteIfNeeded(arguments[1]);
    for (size_t i = 2; i < arguments.size(); ++i) commandLine += L" " + arguments[i];
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        std::printf("cannot start %s: %lu\n", ToUtf8(commandLine).c_str(), static_cast<unsigned long>(GetLastError()));
        return kFailed;
    }
    const ProcessHandles child(info);
    WaitForSingleObject(child.process.Get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(child.process.Get(), &exitCode);
    std::fflush(stdout);
    std::printf("exit code: %ld (0x%08lX)\n", static_cast<long>(exitCode), static_cast<unsigned long>(exitCode));
    return 0;
}

}  // namespace

int wmain() {
    const std::vector<std::wstring> arguments = standin::SplitCommandLine(GetCommandLineW());
    if (arguments.empty()) return Usage();
    const std::wstring command = arguments[0];
    if (command == L"install") return Install(arguments);
    if (command == L"uninstall") return Uninstall();
    if (command == L"start-product") return StartProduct();
    if (command == L"start") return Start(arguments);
    if (command == L"state") return State(arguments);
    if (command == L"settings") return WriteSettingsFile(arguments);
    if (command == L"run") return Run(arguments);
    return Usage();
}
