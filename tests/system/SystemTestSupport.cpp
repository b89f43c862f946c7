#include "tests/system/SystemTestSupport.h"

#include <tlhelp32.h>

#include <cctype>

#include "system/Handles.h"
#include "tests/support/TestSupport.h"

namespace systest {

std::wstring OwnFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full = path;
    return full.substr(0, full.rfind(L'\\'));
}

std::wstring CurrentDir() {
    wchar_t path[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, path);
    return path;
}

std::wstring PlaceStandIn(const std::wstring& standIn, const std::wstring& target) {
    zeltest::CopyFromBin(standIn, target);
    return target;
}

bool CutPrefix(const std::string& line, std::string& rest) {
    static const char kPattern[] = "dddd-dd-dd dd:dd:dd | ";
    const size_t length = sizeof(kPattern) - 1;
    if (line.size() < length) return false;
    for (size_t i = 0; i < length; ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (kPattern[i] == 'd' ? !digit : line[i] != kPattern[i]) return false;
    }
    rest = line.substr(length);
    return true;
}

HANDLE StartProgram(const std::wstring& exePath) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + exePath + L"\"";
    if (!CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

bool IsRunning(DWORD processId) {
    KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

void EndProcessById(DWORD processId) {
    KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process) return;
    TerminateProcess(process.Get(), 1);
    WaitForSingleObject(process.Get(), 5000);
}

std::vector<DWORD> ProcessesNamed(const std::wstring& image) {
    std::vector<DWORD> ids;
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!snapshot || !Process32FirstW(snapshot.Get(), &entry)) return ids;
    do {
        if (image == entry.szExeFile) ids.push_back(entry.th32ProcessID);
    } while (Process32NextW(snapshot.Get(), &entry));
    return ids;
}

double SecondsSince(ULONGLONG startTick) { return static_cast<double>(GetTickCount64() - startTick) / 1000.0; }

}  // namespace systest
