#include "tests/support/StandIns.h"

#include <gtest/gtest.h>

#include "standins/common/RecordFormat.h"
#include "standins/common/Self.h"
#include "standins/common/Settings.h"
#include "tests/support/TestSupport.h"

namespace zeltest {

namespace {

StandInRecord FromLine(const standin::Record& line) {
    StandInRecord record;
    record.fields = line.fields;
    record.event = line.Get("event");
    record.pid = standin::ParseNumber(line.Get("pid")).value_or(0);
    record.option = line.Get("option");
    record.arguments = FromUtf8(line.Get("args"));
    record.commandLine = FromUtf8(line.Get("cmdline"));
    record.currentDir = FromUtf8(line.Get("cwd"));
    record.startupFlags = standin::ParseNumber(line.Get("flags")).value_or(0);
    record.showWindow = static_cast<WORD>(standin::ParseNumber(line.Get("show")).value_or(0));
    return record;
}

}  // namespace

std::string StandInRecord::Field(const std::string& key) const {
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
}

std::wstring RecordPathOf(const std::wstring& exePath) { return standin::PathsFor(exePath).recordPath; }
std::wstring SettingsPathOf(const std::wstring& exePath) { return standin::PathsFor(exePath).settingsPath; }

std::vector<StandInRecord> ReadRecords(const std::wstring& exePath) {
    std::vector<StandInRecord> records;
    for (const standin::Record& line : standin::ParseRecords(ReadBytes(RecordPathOf(exePath)))) {
        records.push_back(FromLine(line));
    }
    return records;
}

std::vector<StandInRecord> ReadRecords(const std::wstring& exePath, const std::string& event) {
    std::vector<StandInRecord> records;
    for (StandInRecord& record : ReadRecords(exePath)) {
        if (record.event == event) records.push_back(std::move(record));
    }
    return records;
}

std::vector<StandInRecord> WaitForRecords(const std::wstring& exePath, const std::string& event, size_t count,
                                          DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<StandInRecord> records = ReadRecords(exePath, event);
        if (records.size() >= count || GetTickCount64() >= deadline) return records;
        Sleep(50);
    }
}

void ClearRecords(const std::wstring& exePath) { DeleteFileW(RecordPathOf(exePath).c_str()); }

std::vector<std::string> OptionsStarted(const std::wstring& exePath) {
    std::vector<std::string> options;
    for (const StandInRecord& start : ReadRecords(exePath, "start")) options.push_back(start.option);
    return options;
}

unsigned long long TickOf(const StandInRecord& record) { return std::stoull("0" + record.Field("tick")); }

ProcessHandles StartProcess(const std::wstring& commandLine, const std::wstring& currentDir, DWORD startupFlags,
                            WORD showWindow, const std::wstring& desktop) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = startupFlags;
    startup.wShowWindow = showWindow;
    std::wstring desktopName = desktop;
    if (!desktopName.empty()) startup.lpDesktop = desktopName.data();
    PROCESS_INFORMATION info{};
    std::wstring writable = commandLine;
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        currentDir.empty() ? nullptr : currentDir.c_str(), &startup, &info)) {
        return ProcessHandles();
    }
    return ProcessHandles(info);
}

bool HasEnded(const ProcessHandles& process, DWORD waitMs) {
    return WaitForSingleObject(process.process.Get(), waitMs) == WAIT_OBJECT_0;
}

DWORD WaitExitCode(const ProcessHandles& process, DWORD timeoutMs) {
    DWORD code = STILL_ACTIVE;
    if (HasEnded(process, timeoutMs)) GetExitCodeProcess(process.process.Get(), &code);
    return code;
}

void WriteSettings(const std::wstring& exePath, const std::map<std::string, std::string>& values) {
    EXPECT_TRUE(standin::WriteSettingsFile(SettingsPathOf(exePath), values)) << ToUtf8(exePath);
}

void ClearSettings(const std::wstring& exePath) { DeleteFileW(SettingsPathOf(exePath).c_str()); }

StandInProduct InstallStandInProduct(const std::wstring& productDir, const std::wstring& engineDir,
                                     const standin::InstallChoices& choices) {
    const standin::InstallResult result = standin::InstallStandInProduct(BinDir(), productDir, engineDir, choices);
    EXPECT_TRUE(result.ok()) << ToUtf8(result.failedStep) << ": error " << result.error;
    return StandInProduct{productDir, engineDir};
}

void UninstallStandInProduct(const StandInProduct& product) {
    standin::UninstallStandInProduct();
    for (const std::wstring& folder : {product.productDir, product.engineDir}) standin::EndProcessesIn(folder, 5000);
}

}  // namespace zeltest
