#include "system/ChildProcess.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "base/Text.h"
#include "log/VLogger.h"

namespace {

STARTUPINFOW StartupFor(Launch launch) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (launch == Launch::Hidden) {
        // Only the show state changes; it takes effect when the tool itself
        // was started with STARTF_USESHOWWINDOW.
        GetStartupInfoW(&startup);
        startup.wShowWindow = SW_HIDE;
    }
    return startup;
}

DWORD CreationFlagsFor(Launch launch) { return launch == Launch::Plain ? 0 : CREATE_NO_WINDOW; }

// CreateProcessW with what every launch shares: no security attributes and
// the tool's environment; no inherited handles but those an attribute list of
// the start-up record names (inheritListed).
BOOL CreateChild(const wchar_t* application, wchar_t* commandLine, DWORD flags, const wchar_t* currentDirectory,
                 STARTUPINFOW& startup, ProcessHandles& child, BOOL inheritListed = FALSE) {
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(application, commandLine, nullptr, nullptr, inheritListed, flags, nullptr,
                                        currentDirectory, &startup, &info);
    if (started) child = ProcessHandles(info);
    return started;
}

// An attribute list for CreateProcessW, deleted with its owner.
class AttributeList {
public:
    explicit AttributeList(DWORD count) {
        SIZE_T bytes = 0;
        InitializeProcThreadAttributeList(nullptr, count, 0, &bytes);
        if (bytes == 0) return;
        buffer_ = std::make_unique<unsigned char[]>(bytes);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
        if (!InitializeProcThreadAttributeList(list_, count, 0, &bytes)) list_ = nullptr;
    }
    ~AttributeList() {
        if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
    }
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

private:
    std::unique_ptr<unsigned char[]> buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Windows 7 keeps console handles as pseudo-handles (the two low bits set),
// which a handle list refuses. They name whichever console the child is
// attached to: a console program started with CREATE_NO_WINDOW gets a hidden
// console of its own, and its output goes there. The one child that gets
// them, the tool's own engine install, is a GUI program: it has no console
// (CREATE_NO_WINDOW is ignored for it) until it attaches to its parent's, the
// console the update borrows, and from then on they name that one.
bool IsConsolePseudoHandle(HANDLE handle) { return (reinterpret_cast<ULONG_PTR>(handle) & 3) == 3; }

// Startup's record extended by an attribute list that names the handles the
// child inherits; false (GetLastError() says why) when the list refuses them.
bool ListInheritedHandles(const AttributeList& attributes, std::vector<HANDLE>& handles, STARTUPINFOEXW& startup) {
    if (attributes.Get() == nullptr ||
        !UpdateProcThreadAttribute(attributes.Get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                   handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
        return false;
    }
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = attributes.Get();
    return true;
}

enum class HandOn { Started, Failed, Refused, NothingToHandOn };

// The windowless launch with the tool's standard handles handed on, in
// `directory` (null: the tool's). Each real handle goes to the child as an
// inheritable copy (stdout and stderr are often one handle, copied once), and
// the child inherits those copies and nothing else; a console pseudo-handle
// goes into its start-up record alone. Refused: the system would not take
// the handles (error), and nothing was started.
HandOn StartSharingOutput(wchar_t* commandLine, const wchar_t* directory, ProcessHandles& child, DWORD& error) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    HANDLE* const slots[] = {&startup.StartupInfo.hStdInput, &startup.StartupInfo.hStdOutput,
                             &startup.StartupInfo.hStdError};
    const HANDLE own[] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                          GetStdHandle(STD_ERROR_HANDLE)};
    KernelHandle copies[3];
    std::vector<HANDLE> inherited;
    bool any = false;
    for (size_t i = 0; i < 3; ++i) {
        if (own[i] == nullptr || own[i] == INVALID_HANDLE_VALUE) continue;
        any = true;
        const size_t first = static_cast<size_t>(std::find(own, own + i, own[i]) - own);
        if (first < i) {
            *slots[i] = *slots[first];
        } else if (IsConsolePseudoHandle(own[i])) {
            *slots[i] = own[i];
        } else if (DuplicateHandle(GetCurrentProcess(), own[i], GetCurrentProcess(), copies[i].Put(), 0, TRUE,
                                   DUPLICATE_SAME_ACCESS)) {
            *slots[i] = copies[i].Get();
            inherited.push_back(copies[i].Get());
        }
    }
    if (!any) return HandOn::NothingToHandOn;
    DWORD flags = CREATE_NO_WINDOW;
    const AttributeList attributes(1);
    if (!inherited.empty()) {
        if (!ListInheritedHandles(attributes, inherited, startup)) {
            error = GetLastError();
            return HandOn::Refused;
        }
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    if (CreateChild(nullptr, commandLine, flags, directory, startup.StartupInfo, child, !inherited.empty())) {
        return HandOn::Started;
    }
    error = GetLastError();
    return error == ERROR_INVALID_PARAMETER ? HandOn::Refused : HandOn::Failed;
}

}  // namespace

std::wstring CommandLineFor(const std::wstring& executable, const std::wstring& parameters) {
    std::wstring commandLine = QuoteIfNeeded(executable);
    if (!parameters.empty()) commandLine += L' ' + parameters;
    return commandLine;
}

std::optional<std::wstring> RunAndWaitCommandLine(const wchar_t* path, const wchar_t* parameters) {
    std::wstring commandLine = path != nullptr ? QuoteIfNeeded(path) : std::wstring();
    commandLine += L' ';
    if (parameters != nullptr) commandLine += parameters;
    if (commandLine.size() > kRunAndWaitCommandLineMax) return std::nullopt;
    return commandLine;
}

BOOL StartChild(Launch launch, const std::wstring& commandLine, ProcessHandles& child,
                const wchar_t* currentDirectory, DWORD* handOnRefused) {
    if (handOnRefused != nullptr) *handOnRefused = ERROR_SUCCESS;
    std::wstring writableCommandLine = commandLine;  // CreateProcessW may write into it
    if (launch == Launch::WindowlessSharingOutput) {
        DWORD error = ERROR_SUCCESS;
        switch (StartSharingOutput(writableCommandLine.data(), currentDirectory, child, error)) {
        case HandOn::Started:
            return TRUE;
        case HandOn::Failed:
            SetLastError(error);
            return FALSE;
        case HandOn::Refused:
            if (handOnRefused != nullptr) *handOnRefused = error;
            break;
        case HandOn::NothingToHandOn:
            break;
        }
        writableCommandLine = commandLine;
        launch = Launch::Windowless;
    }
    STARTUPINFOW startup = StartupFor(launch);
    return CreateChild(nullptr, writableCommandLine.data(), CreationFlagsFor(launch), currentDirectory, startup,
                       child);
}

BOOL StartHelper(const std::wstring& commandLine, const std::vector<HANDLE>& handles, ProcessHandles& child) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    std::vector<HANDLE> inherited = handles;
    const AttributeList attributes(1);
    if (!ListInheritedHandles(attributes, inherited, startup)) return FALSE;
    std::wstring writableCommandLine = commandLine;  // CreateProcessW may write into it
    return CreateChild(nullptr, writableCommandLine.data(), CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                       startup.StartupInfo, child, TRUE);
}

BOOL StartShown(const std::wstring& executable, ProcessHandles& child) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    return CreateChild(executable.c_str(), nullptr, 0, nullptr, startup, child);
}

ChildRun RunChildWithin(Launch launch, const std::wstring& commandLine, DWORD timeoutMs) {
    ProcessHandles child;
    DWORD handOnRefused = ERROR_SUCCESS;
    if (!StartChild(launch, commandLine, child, nullptr, &handOnRefused)) {
        ChildRun notStarted;
        notStarted.error = GetLastError();
        notStarted.handOnRefused = handOnRefused;
        return notStarted;
    }
    ChildRun run = WaitForChildWithin(child.process.Get(), timeoutMs);
    run.handOnRefused = handOnRefused;
    return run;
}

ChildRun WaitForChildWithin(HANDLE process, DWORD timeoutMs) {
    ChildRun run;
    run.processId = GetProcessId(process);
    switch (WaitForSingleObject(process, timeoutMs)) {
    case WAIT_OBJECT_0:
        break;
    case WAIT_TIMEOUT:
        run.end = ChildRun::End::StillRunning;
        return run;
    default:
        run.end = ChildRun::End::WaitFailed;
        run.error = GetLastError();
        return run;
    }
    if (!GetExitCodeProcess(process, &run.exitCode)) {
        run.end = ChildRun::End::ExitCodeUnreadable;
        run.error = GetLastError();
        return run;
    }
    run.end = ChildRun::End::Ended;
    return run;
}

std::wstring FailedRunText(const ChildRun& run) {
    const std::wstring error = L" (error " + std::to_wstring(run.error) + L")";
    switch (run.end) {
    case ChildRun::End::NotStarted:
        return L"could not be started" + error;
    case ChildRun::End::WaitFailed:
        return L"could not be waited for" + error;
    case ChildRun::End::ExitCodeUnreadable:
        return L"ended, but its exit code could not be read" + error;
    case ChildRun::End::Ended:
    case ChildRun::End::StillRunning:
        break;
    }
    return {};
}

ChildRun _RunAndWait(const wchar_t* path, const wchar_t* parameters, DWORD timeoutMs, const ChildRunner& run) {
    const std::optional<std::wstring> commandLine = RunAndWaitCommandLine(path, parameters);
    if (!commandLine) {
        ChildRun refused;
        refused.error = ERROR_FILENAME_EXCED_RANGE;
        return refused;
    }
    return run(Launch::Windowless, *commandLine, timeoutMs);
}

BOOL _DoCreateProcess(const std::wstring& path, const std::wstring& parameters, const std::wstring& directory) {
    const std::wstring commandLine = CommandLineFor(path, parameters);
    runLog << L"_DoCreateProcess : " << commandLine << EndLine;
    runLog << L"strCurrentDirectory : " << directory << EndLine;
    ProcessHandles child;
    const BOOL started =
        StartChild(Launch::Plain, commandLine, child, directory.empty() ? nullptr : directory.c_str());
    LogLine(started ? L"_DoCreateProcess Suc" : L"_DoCreateProcess Fail");
    return started;
}
