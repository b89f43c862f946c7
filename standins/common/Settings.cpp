#include "standins/common/Settings.h"

#include <cstdlib>

#include "base/Handles.h"
#include "base/Text.h"
#include "base/Files.h"

namespace standin {

namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::optional<DWORD> ParseNumber(const std::string& text) {
    const std::string trimmed = Trim(text);
    if (trimmed.empty()) return std::nullopt;
    const bool negative = trimmed[0] == '-';
    const char* digits = trimmed.c_str() + (negative ? 1 : 0);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(digits, &end, 0);
    if (end == digits || *end != '\0' || value > 0xFFFFFFFFull) return std::nullopt;
    // "-1" is 0xFFFFFFFF, as an exit code would show it.
    return negative ? static_cast<DWORD>(0u - static_cast<DWORD>(value)) : static_cast<DWORD>(value);
}

Settings Settings::Parse(const std::string& text) {
    Settings settings;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = Trim(line.substr(0, equals));
        AsciiLowercase(key);
        if (!key.empty()) settings.values_[key] = Trim(line.substr(equals + 1));
    }
    return settings;
}

Settings Settings::Load(const std::wstring& path) { return Parse(ReadWholeFile(path).value_or(std::string())); }

std::string OptionScope(const std::wstring& option) {
    std::wstring name = option;
    while (!name.empty() && (name[0] == L'/' || name[0] == L'-')) name.erase(0, 1);
    AsciiLowercase(name);
    return ToUtf8(name);
}

std::optional<std::string> Settings::Find(const std::wstring& option, const std::string& key) const {
    const std::string scope = OptionScope(option);
    if (!scope.empty()) {
        const auto scoped = values_.find(scope + "." + key);
        if (scoped != values_.end()) return scoped->second;
    }
    const auto plain = values_.find(key);
    if (plain != values_.end()) return plain->second;
    return std::nullopt;
}

DWORD Settings::Number(const std::wstring& option, const std::string& key, DWORD fallback) const {
    const std::optional<std::string> text = Find(option, key);
    if (!text) return fallback;
    return ParseNumber(*text).value_or(fallback);
}

bool Settings::Flag(const std::wstring& option, const std::string& key) const {
    const std::optional<std::string> text = Find(option, key);
    if (!text) return false;
    std::string value = *text;
    AsciiLowercase(value);
    return value == "1" || value == "true" || value == "yes" || value == "on";
}

std::string FormatSettings(const std::map<std::string, std::string>& values) {
    std::string text;
    for (const auto& [key, value] : values) text += key + "=" + value + "\r\n";
    return text;
}

bool WriteSettingsFile(const std::wstring& path, const std::map<std::string, std::string>& values) {
    if (values.empty()) return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    const std::wstring fresh = path + L".new";
    const std::string text = FormatSettings(values);
    {
        FileHandle file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            return false;
        }
    }
    return MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace standin
