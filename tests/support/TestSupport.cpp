#include "tests/support/TestSupport.h"

#include <shlwapi.h>

#include <cstring>
#include <regex>

#include "base/Handles.h"
#include "base/Files.h"
#include "standins/common/Processes.h"

namespace zeltest {

namespace {

// The run log's "YYYY-MM-DD HH:MM:SS | " stamp.
constexpr char kStamp[] = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \| )";

const std::regex& StampPattern() {
    static const std::regex stamp(kStamp);
    return stamp;
}

// Cuts the stamp the line starts with; false when it starts with none.
bool CutLeadingStamp(std::string& line) {
    std::smatch match;
    if (!std::regex_search(line, match, StampPattern(), std::regex_constants::match_continuous)) return false;
    line.erase(0, static_cast<size_t>(match.length(0)));
    return true;
}

}  // namespace

std::wstring BinDir() {
    wchar_t buffer[1024] = {};
    GetEnvironmentVariableW(L"ZEL_BIN_DIR", buffer, 1024);
    return buffer;
}

std::wstring FreshDir(const std::wstring& name) {
    const std::wstring path = L"C:\\zt\\" + name;
    RemoveTree(path);
    CreateDirectoryChain(path);
    return path;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadBytes(const std::wstring& path) { return ReadWholeFile(path).value_or(std::string()); }

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void WriteText(const std::wstring& path, const std::string& text) {
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) CreateDirectoryChain(path.substr(0, slash));
    WriteBytes(path, text);
}

void CopyFromBin(const std::wstring& fileName, const std::wstring& targetPath) {
    const size_t slash = targetPath.rfind(L'\\');
    if (slash != std::wstring::npos) CreateDirectoryChain(targetPath.substr(0, slash));
    CopyFileW((BinDir() + L"\\" + fileName).c_str(), targetPath.c_str(), FALSE);
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (find) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = path + L"\\" + name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                RemoveTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!DeleteFileW(full.c_str())) RemoveDirectoryW(full.c_str());
            }
        } while (FindNextFileW(find.Get(), &entry));
    }
    find.Reset();
    RemoveDirectoryW(path.c_str());
}

namespace {

// Starts a command line with its stdout and stderr going to `output`
// (inherited), waits up to timeoutMs, then ends it with exit code 1.
ProcessResult RunWithOutputTo(const std::wstring& commandLine, const std::wstring& currentDir, DWORD timeoutMs,
                              HANDLE output) {
    ProcessResult result;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION info{};
    std::wstring writable = commandLine;
    result.started = CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    currentDir.empty() ? nullptr : currentDir.c_str(), &startup, &info) != 0;
    if (!result.started) return result;
    ProcessHandles handles(info);
    if (WaitForSingleObject(handles.process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(handles.process.Get(), 1);
        WaitForSingleObject(handles.process.Get(), 5000);
    }
    GetExitCodeProcess(handles.process.Get(), &result.exitCode);
    result.processId = info.dwProcessId;
    return result;
}

}  // namespace

ProcessResult RunCommand(const std::wstring& commandLine, const std::wstring& currentDir, DWORD timeoutMs) {
    wchar_t tempDir[MAX_PATH] = {};
    wchar_t outputPath[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tempDir);
    GetTempFileNameW(tempDir, L"out", 0, outputPath);
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    ProcessResult result;
    {
        FileHandle output(CreateFileW(outputPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                      CREATE_ALWAYS, 0, nullptr));
        result = RunWithOutputTo(commandLine, currentDir, timeoutMs, output.Get());
    }
    result.output = ReadBytes(outputPath);
    DeleteFileW(outputPath);
    return result;
}

void SetEngineCallTimeoutPolicy(DWORD seconds) {
    SetRegDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Ostiga\\zelunst", L"EngineCallTimeout", seconds);
}

void SetRegString(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& value,
                  DWORD type) {
    RegKey handle;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, handle.Put(), nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(handle.Get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void SetRegDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD value) {
    RegKey handle;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, handle.Put(), nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(handle.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

bool RegValueExists(HKEY root, const std::wstring& key, const std::wstring& name) {
    return RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool RegKeyExists(HKEY root, const std::wstring& key) {
    RegKey handle;
    return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, handle.Put()) == ERROR_SUCCESS;
}

DWORD RegDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return fallback;
    }
    return value;
}

void DeleteRegTree(HKEY root, const std::wstring& key) { SHDeleteKeyW(root, key.c_str()); }

// --- Shared by the system, file tree, launcher, loader and log tests. ---
std::wstring TestProgramFolder() {
    const std::wstring path = ModulePath();
    return path.substr(0, path.rfind(L'\\'));
}

std::vector<std::string> FileLines(const std::wstring& path) {
    const std::string bytes = ReadBytes(path);
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < bytes.size(); start = end + 2) {
        end = bytes.find("\r\n", start);
        if (end == std::string::npos) end = bytes.size();
        lines.push_back(bytes.substr(start, end - start));
    }
    return lines;
}

std::string MarkStamps(const std::string& text) { return std::regex_replace(text, StampPattern(), "<P>"); }

std::string MarkProcessIds(const std::string& text) {
    static const std::regex processId("process [0-9]+");
    return std::regex_replace(text, processId, "process <pid>");
}

std::wstring RunLogPath(const std::wstring& dir) { return dir + L"\\ZelUnst.log"; }

std::vector<std::string> LogLines(const std::wstring& dir, bool stripPrefix) {
    std::vector<std::string> lines = FileLines(RunLogPath(dir));
    if (stripPrefix) {
        for (std::string& line : lines) CutLeadingStamp(line);
    }
    return lines;
}

std::vector<std::string> MarkedLogLines(const std::wstring& dir) {
    std::vector<std::string> lines = LogLines(dir, false);
    for (std::string& line : lines) line = MarkStamps(line);
    return lines;
}

std::vector<std::string> UnstampedLogLines(const std::wstring& dir) {
    static const std::regex childStamp("^(_DoCreateProcess : |strCurrentDirectory : )" + std::string(kStamp));
    std::vector<std::string> lines = LogLines(dir, false);
    for (std::string& line : lines) {
        if (CutLeadingStamp(line)) line = std::regex_replace(line, childStamp, "$1");
    }
    return lines;
}

std::wstring PlaceTool(const std::wstring& dir, const std::wstring& solutionLibrary) {
    const std::wstring tool = dir + L"\\zelunst.exe";
    CopyFromBin(L"zelunst.exe", tool);
    if (!solutionLibrary.empty()) CopyFromBin(solutionLibrary, dir + L"\\subsystem\\zelde\\zeldecs.dll");
    return tool;
}

namespace {

// Whether a process named zelunst.exe that parentId started runs.
bool ToolRunStartedBy(DWORD parentId) { return !standin::ChildProcessesNamed(parentId, L"zelunst.exe").empty(); }

}  // namespace

ProcessResult RunToolIn(const std::wstring& dir, const std::wstring& arguments, const std::wstring& currentDir,
                        DWORD timeoutMs) {
    ProcessResult result = RunCommand(L"\"" + dir + L"\\zelunst.exe\" " + arguments, currentDir, timeoutMs);
    result.outlivedByAToolRun = result.started && ToolRunStartedBy(result.processId);
    for (int polls = 0; polls < 500 && ToolRunStartedBy(result.processId); ++polls) Sleep(20);
    return result;
}

ProcessResult RunToolIntoUnreadPipe(const std::wstring& dir, const std::wstring& arguments, DWORD timeoutMs) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    KernelHandle read;
    KernelHandle write;
    CreatePipe(read.Put(), write.Put(), &inheritable, 4096);
    SetHandleInformation(read.Get(), HANDLE_FLAG_INHERIT, 0);
    ProcessResult result = RunWithOutputTo(L"\"" + dir + L"\\zelunst.exe\" " + arguments, L"", timeoutMs, write.Get());
    write.Reset();
    for (int polls = 0; polls < 500 && result.started && ToolRunStartedBy(result.processId); ++polls) Sleep(20);
    // Read once every writer is gone: whatever the run put into the pipe.
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(read.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) result.output.append(chunk, got);
    return result;
}

ProcessResult RunToolTreatingItsKeeper(const std::wstring& dir, const std::wstring& arguments, DWORD timeoutMs,
                                       const KeeperTreatment& treatment) {
    ProcessResult result;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + dir + L"\\zelunst.exe\" " + arguments;
    result.started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, DEBUG_PROCESS, nullptr,
                                    nullptr, &startup, &info) != 0;
    if (!result.started) return result;
    const ProcessHandles run(info);
    result.processId = info.dwProcessId;
    const ULONGLONG giveUpAt = GetTickCount64() + timeoutMs;
    // Debugged until the keeper has started: a debugged run's crash would go
    // to the debugger, not to the run's own handling.
    DebugSetProcessKillOnExit(FALSE);
    KernelHandle keeper;
    bool runEnded = false;
    for (DWORD keeperId = 0; keeperId == 0 && !runEnded && GetTickCount64() < giveUpAt;) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, 100)) continue;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.dwProcessId != info.dwProcessId) {
                if (treatment.holdAtStart) SuspendThread(event.u.CreateProcessInfo.hThread);
                DuplicateHandle(GetCurrentProcess(), event.u.CreateProcessInfo.hProcess, GetCurrentProcess(),
                                keeper.Put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
                keeperId = event.dwProcessId;
            }
            CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            // A run that started no keeper.
            runEnded = event.dwProcessId == info.dwProcessId;
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The loader's breakpoint is the debugger's; any other exception is the run's own.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (keeperId != 0) DebugActiveProcessStop(keeperId);
    }
    DebugActiveProcessStop(info.dwProcessId);
    if (keeper && !treatment.endOnceThisExists.empty()) {
        while (!(result.keeperEndedOnCue = FileExists(treatment.endOnceThisExists)) && GetTickCount64() < giveUpAt &&
               WaitForSingleObject(run.process.Get(), 5) == WAIT_TIMEOUT) {
        }
        TerminateProcess(keeper.Get(), 1);
    }
    const ULONGLONG now = GetTickCount64();
    if (WaitForSingleObject(run.process.Get(), now < giveUpAt ? static_cast<DWORD>(giveUpAt - now) : 0) !=
        WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(run.process.Get(), 1);
        WaitForSingleObject(run.process.Get(), 5000);
    }
    GetExitCodeProcess(run.process.Get(), &result.exitCode);
    // A keeper writes its last line just after the run has ended.
    if (keeper) {
        WaitForSingleObject(keeper.Get(), 10000);
        GetExitCodeProcess(keeper.Get(), &result.keeperExitCode);
    }
    return result;
}

namespace {

void WriteSlot(void** slot, void* value) {
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection)) return;
    *slot = value;
    VirtualProtect(slot, sizeof(*slot), protection, &protection);
}

}  // namespace

ImportPatch::ImportPatch(const char* dll, const char* function, void* replacement) {
    auto* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* const nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.VirtualAddress != 0 && descriptor->Name != 0; ++descriptor) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + descriptor->Name), dll) != 0) continue;
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            slot_ = reinterpret_cast<void**>(&addresses->u1.Function);
            original_ = *slot_;
            WriteSlot(slot_, replacement);
            return;
        }
    }
}

ImportPatch::~ImportPatch() {
    if (slot_ != nullptr) WriteSlot(slot_, original_);
}

}  // namespace zeltest
