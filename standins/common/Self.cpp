#include "standins/common/Self.h"

#include <cstdio>

#include "base/Paths.h"
#include "base/Text.h"
#include "standins/common/Files.h"

namespace standin {

namespace {

std::wstring CurrentDirectory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return {};
    std::wstring dir(needed, L'\0');
    const DWORD length = GetCurrentDirectoryW(needed, dir.data());
    dir.resize(length < needed ? length : 0);
    return dir;
}

std::string UtcTimestamp() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

}  // namespace

std::string Hex32(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

SelfPaths PathsFor(const std::wstring& exePath) {
    SelfPaths paths;
    paths.exePath = exePath;
    const size_t slash = exePath.find_last_of(L"\\/");
    paths.folder = slash == std::wstring::npos ? std::wstring() : exePath.substr(0, slash);
    std::wstring file = slash == std::wstring::npos ? exePath : exePath.substr(slash + 1);
    const size_t dot = file.rfind(L'.');
    paths.baseName = dot == std::wstring::npos ? file : file.substr(0, dot);
    const std::wstring stem = paths.folder.empty() ? paths.baseName : paths.folder + L"\\" + paths.baseName;
    paths.recordPath = stem + L".record";
    paths.settingsPath = stem + L".settings";
    return paths;
}

SelfPaths PathsOfThisProcess() { return PathsFor(ModulePath()); }

StartFacts CaptureStartFacts() {
    StartFacts facts;
    facts.commandLine = GetCommandLineW();
    facts.currentDir = CurrentDirectory();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    facts.startupFlags = startup.dwFlags;
    facts.showWindow = startup.wShowWindow;
    facts.pid = GetCurrentProcessId();
    return facts;
}

RecordFields EventFields(const std::string& event, const RecordFields& extra) {
    RecordFields fields{{"event", event},
                        {"time", UtcTimestamp()},
                        {"tick", std::to_string(GetTickCount64())},
                        {"pid", std::to_string(GetCurrentProcessId())}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return fields;
}

RecordFields StartFields(const std::string& event, const std::wstring& option, const std::wstring& arguments,
                         const StartFacts& facts) {
    return EventFields(event, {{"option", ToUtf8(option)},
                               {"args", ToUtf8(arguments)},
                               {"cmdline", ToUtf8(facts.commandLine)},
                               {"cwd", ToUtf8(facts.currentDir)},
                               {"flags", Hex32(facts.startupFlags)},
                               {"show", std::to_string(facts.showWindow)}});
}

bool AppendRecord(const SelfPaths& self, const RecordFields& fields) {
    return AppendLine(self.recordPath, FormatRecordLine(fields));
}

}  // namespace standin
