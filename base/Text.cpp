#include "base/Text.h"

#include <windows.h>

#include <cwchar>

namespace {

template <typename Text>
void LowercaseAsciiLetters(Text& text) {
    for (auto& unit : text) unit = AsciiLower(unit);
}

}  // namespace

void AsciiLowercase(std::wstring& text) { LowercaseAsciiLetters(text); }
void AsciiLowercase(std::string& text) { LowercaseAsciiLetters(text); }

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring FromUtf8(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int length = static_cast<int>(utf8.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    if (size <= 0) return {};
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, result.data(), size);
    return result;
}

std::wstring QuoteIfNeeded(const std::wstring& path) {
    const bool alreadyQuoted = !path.empty() && path.front() == L'"';
    if (alreadyQuoted || path.find_first_of(L" \t") == std::wstring::npos) return path;
    return L'"' + path + L'"';
}

std::wstring Unquoted(const std::wstring& text) {
    if (text.empty() || text.front() != L'"') return text;
    const size_t end = text.find(L'"', 1);
    return text.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
}

std::wstring HexCode(unsigned long code) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", code);
    return text;
}
