#include "tests/support/TestSupport.h"

#include <shlwapi.h>

#include <cstring>
#include <regex>

#include "base/Handles.h"

namespace zeltest {

std::wstring BinDir() {
    wchar_t buffer[1024] = {};
    GetEnvironmentVariableW(L"ZEL_BIN_DIR", buffer, 1024);
    return buffer;
}

std::wstring FreshDir(const std::wstring& name) {
    const std::wstring path = L"C:\\zt\\" + name;
    RemoveTree(path);
    MakeDirs(path);
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

std::string ReadBytes(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return {};
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void MakeDirs(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

void WriteText(const std::wstring& path, const std::string& text) {
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) MakeDirs(path.substr(0, slash));
    WriteBytes(path, text);
}

void CopyFromBin(const std::wstring& fileName, const std::wstring& targetPath) {
    const size_t slash = targetPath.rfind(L'\\');
    if (slash != std::wstring::npos) MakeDirs(targetPath.substr(0, slash));
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

ProcessResult RunCommand(const std::wstring& commandLine, const std::wstring& currentDir, DWORD timeoutMs) {
    ProcessResult result;
    wchar_t tempDir[MAX_PATH] = {};
    wchar_t outputPath[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tempDir);
    GetTempFileNameW(tempDir, L"out", 0, outputPath);
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    {
        FileHandle output(CreateFileW(outputPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                      CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output.Get();
        startup.hStdError = output.Get();
        PROCESS_INFORMATION info{};
        std::wstring writable = commandLine;
        result.started = CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        currentDir.empty() ? nullptr : currentDir.c_str(), &startup, &info) != 0;
        if (result.started) {
            ProcessHandles handles(info);
            if (WaitForSingleObject(handles.process.Get(), timeoutMs) != WAIT_OBJECT_0) {
                result.timedOut = true;
                TerminateProcess(handles.process.Get(), 1);
                WaitForSingleObject(handles.process.Get(), 5000);
            }
            GetExitCodeProcess(handles.process.Get(), &result.exitCode);
        }
    }
    result.output = ReadBytes(outputPath);
    DeleteFileW(outputPath);
    return result;
}

std::vector<std::string> LogLines(const std::wstring& dir, bool stripPrefix) {
    const std::string bytes = ReadBytes(dir + L"\\ZelUnst.log");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        std::string line = bytes.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // "2026-12-07 08:04:28 | " is 22 characters for a four-digit year.
        if (stripPrefix && line.size() >= 22 && line.compare(19, 3, " | ") == 0) line.erase(0, 22);
        lines.push_back(line);
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return lines;
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

bool CreateTestService(const std::wstring& name, const std::wstring& binaryPathName) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return false;
    ServiceHandle service(CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         binaryPathName.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    return service.Valid();
}

void RemoveTestService(const std::wstring& name) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    ServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status{};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    DeleteService(service.Get());
}

bool StartTestService(const std::wstring& name) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_START));
    return service && StartServiceW(service.Get(), 0, nullptr);
}

DWORD ServiceState(const std::wstring& name) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return 0;
    ServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.Get(), &status)) return 0;
    return status.dwCurrentState;
}

bool WaitServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (ServiceState(name) != state) {
        if (GetTickCount64() > deadline) return false;
        Sleep(50);
    }
    return true;
}

std::string Narrow(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

std::wstring Widen(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

// --- Shared by the system, file tree, launcher, loader and log tests. ---
std::wstring TestProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full = path;
    return full.substr(0, full.rfind(L'\\'));
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

std::string MarkStamps(const std::string& text) {
    static const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \| )");
    return std::regex_replace(text, stamp, "<P>");
}

ProcessResult RunToolIn(const std::wstring& dir, const std::wstring& arguments, const std::wstring& currentDir) {
    return RunCommand(L"\"" + dir + L"\\zelunst.exe\" " + arguments, currentDir);
}

}  // namespace zeltest
