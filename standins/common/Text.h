#pragma once
// Conversions between the wide text of the Win32 calls and the UTF-8 text of
// the record and settings files.

#include <string>

namespace standin {

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
// ASCII lower case; enough for option names and setting keys.
std::string AsciiLower(std::string text);
std::wstring AsciiLower(std::wstring text);

}  // namespace standin
