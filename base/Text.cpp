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

std::wstring HexCode(unsigned long code) { return FixedText().Hex(code, 8).Text(); }

FixedText& FixedText::operator<<(const wchar_t* text) {
    for (; text != nullptr && *text != L'\0' && length_ < kRoom; ++text) text_[length_++] = *text;
    text_[length_] = L'\0';
    return *this;
}

FixedText& FixedText::Decimal(unsigned long value, int digits) {
    wchar_t reversed[16];
    int count = 0;
    do {
        reversed[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0 || (count < digits && count < 10));
    wchar_t text[16];
    for (int i = 0; i < count; ++i) text[i] = reversed[count - 1 - i];
    text[count] = L'\0';
    return *this << text;
}

FixedText& FixedText::Hex(unsigned long value, int digits) {
    int count = 1;
    while (count < 8 && (value >> (4 * count)) != 0) ++count;
    if (count < digits) count = digits < 8 ? digits : 8;
    wchar_t text[16] = L"0x";
    for (int i = 0; i < count; ++i) text[2 + i] = L"0123456789ABCDEF"[(value >> (4 * (count - 1 - i))) & 0xF];
    text[2 + count] = L'\0';
    return *this << text;
}
