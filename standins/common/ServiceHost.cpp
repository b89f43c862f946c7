#include "standins/common/ServiceHost.h"

#include <windows.h>
#include <tlhelp32.h>

#include <mutex>
#include <vector>

#include "base/Handles.h"
#include "base/Text.h"
#include "standins/common/CommandLineProgram.h"
#include "standins/common/Self.h"
#include "standins/common/Settings.h"

namespace standin {

namespace {

constexpr DWORD kSettingsPollMs = 250;
constexpr DWORD kStopPendingStepMs = 500;

class ServiceInstance {
public:
    explicit ServiceInstance(std::wstring name)
        : name_(std::move(name)), self_(PathsOfThisProcess()), stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    void Main(DWORD argc, wchar_t** argv);
    DWORD Control(DWORD control);

private:
    Settings LoadSettings() const { return Settings::Load(self_.settingsPath); }
    void Report(DWORD state, DWORD waitHint = 0);
    void Record(const std::string& event, const RecordFields& extra = {}) {
        RecordFields fields{{"service", ToUtf8(name_)}};
        fields.insert(fields.end(), extra.begin(), extra.end());
        AppendRecord(self_, EventFields(event, fields));
    }
    void RunUntilStopRequested();
    void StopLate(DWORD delayMs);

    const std::wstring name_;
    const SelfPaths self_;
    KernelHandle stopEvent_;
    SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
    std::mutex statusLock_;  // the control handler and the service thread both report
    SERVICE_STATUS status_{};
    bool refuseStop_ = false;
    DWORD stopDelayMs_ = 0;
    DWORD checkPoint_ = 0;
};

// The service manager calls ServiceMain without a context, so the one
// instance of this process is reached through this pointer, set before the
// dispatcher starts and cleared after it returns.
ServiceInstance* runningInstance = nullptr;

DWORD WINAPI ControlThunk(DWORD control, DWORD, void*, void* context) {
    return static_cast<ServiceInstance*>(context)->Control(control);
}

void WINAPI ServiceMainThunk(DWORD argc, wchar_t** argv) {
    if (runningInstance != nullptr) runningInstance->Main(argc, argv);
}

void ServiceInstance::Report(DWORD state, DWORD waitHint) {
    std::lock_guard<std::mutex> lock(statusLock_);
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status_.dwCurrentState = state;
    const bool acceptsStop = state == SERVICE_RUNNING && !refuseStop_;
    status_.dwControlsAccepted = acceptsStop ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status_.dwWin32ExitCode = NO_ERROR;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status_.dwCheckPoint = pending ? ++checkPoint_ : 0;
    status_.dwWaitHint = waitHint;
    SetServiceStatus(statusHandle_, &status_);
}

DWORD ServiceInstance::Control(DWORD control) {
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return ERROR_CALL_NOT_IMPLEMENTED;
    const Settings settings = LoadSettings();
    const bool refuse = settings.Flag(L"", kRefuseStop);
    const DWORD delayMs = settings.Number(L"", kStopDelayMs, 0);
    Record("stop_request", {{"control", std::to_string(control)},
                            {"refused", refuse ? "1" : "0"},
                            {"stop_delay_ms", std::to_string(delayMs)}});
    if (refuse) return ERROR_CALL_NOT_IMPLEMENTED;
    {
        std::lock_guard<std::mutex> lock(statusLock_);
        if (status_.dwCurrentState != SERVICE_RUNNING) return NO_ERROR;  // already stopping
        stopDelayMs_ = delayMs;
    }
    Report(SERVICE_STOP_PENDING, delayMs + 2000);
    SetEvent(stopEvent_.Get());
    return NO_ERROR;
}

void ServiceInstance::RunUntilStopRequested() {
    while (WaitForSingleObject(stopEvent_.Get(), kSettingsPollMs) == WAIT_TIMEOUT) {
        const bool refuse = LoadSettings().Flag(L"", kRefuseStop);
        bool changed = false;
        {
            std::lock_guard<std::mutex> lock(statusLock_);
            changed = refuse != refuseStop_ && status_.dwCurrentState == SERVICE_RUNNING;
            if (changed) refuseStop_ = refuse;
        }
        if (changed) {
            Record("accepts_stop", {{"accepted", refuse ? "0" : "1"}});
            Report(SERVICE_RUNNING);
        }
    }
}

void ServiceInstance::StopLate(DWORD delayMs) {
    const ULONGLONG deadline = GetTickCount64() + delayMs;
    for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
        const ULONGLONG left = deadline - now;
        Sleep(static_cast<DWORD>(left < kStopPendingStepMs ? left : kStopPendingStepMs));
        Report(SERVICE_STOP_PENDING, delayMs + 2000);
    }
}

void ServiceInstance::Main(DWORD argc, wchar_t** argv) {
    statusHandle_ = RegisterServiceCtrlHandlerExW(name_.c_str(), ControlThunk, this);
    if (statusHandle_ == nullptr) {
        Record("service_error", {{"error", std::to_string(GetLastError())}});
        return;
    }
    std::vector<std::wstring> arguments;
    for (DWORD i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    RecordFields fields = StartFields("service_start", L"", JoinArguments(arguments), CaptureStartFacts());
    // After event, time, tick and pid, as in the other service lines.
    fields.insert(fields.begin() + 4, {"service", ToUtf8(name_)});

    const bool refuse = LoadSettings().Flag(L"", kRefuseStop);
    {
        std::lock_guard<std::mutex> lock(statusLock_);
        refuseStop_ = refuse;
    }
    fields.insert(fields.begin() + 5, {"accepts_stop", refuse ? "0" : "1"});
    AppendRecord(self_, fields);
    Report(SERVICE_RUNNING);
    RunUntilStopRequested();

    DWORD delayMs = 0;
    {
        std::lock_guard<std::mutex> lock(statusLock_);
        delayMs = stopDelayMs_;
    }
    StopLate(delayMs);
    Record("service_stopped");
    Report(SERVICE_STOPPED);
}

// The image name of process `pid` and its parent's id, from one snapshot.
bool FindProcess(HANDLE snapshot, DWORD pid, PROCESSENTRY32W& found) {
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == pid) {
            found = entry;
            return true;
        }
    }
    return false;
}

}  // namespace

bool StartedByServiceManager() {
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W self{};
    PROCESSENTRY32W parent{};
    return FindProcess(snapshot.Get(), GetCurrentProcessId(), self) &&
           FindProcess(snapshot.Get(), self.th32ParentProcessID, parent) &&
           lstrcmpiW(parent.szExeFile, L"services.exe") == 0;
}

bool RunAsService(const std::wstring& name) {
    ServiceInstance instance(name);
    runningInstance = &instance;
    std::wstring writableName = name;
    const SERVICE_TABLE_ENTRYW table[] = {{writableName.data(), ServiceMainThunk}, {nullptr, nullptr}};
    const bool ran = StartServiceCtrlDispatcherW(table) != 0;
    runningInstance = nullptr;
    return ran;
}

}  // namespace standin
