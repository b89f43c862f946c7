#include "system/ConsoleOutput.h"

#include <windows.h>

namespace {

// Whole, whatever the handle takes per call.
void WriteAll(HANDLE output, const char* bytes, size_t count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(output, bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0) return;
        bytes += written;
        count -= written;
    }
}

}  // namespace

void PrintText(const std::wstring& text) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE || text.empty()) return;
    std::wstring lines;
    lines.reserve(text.size() + text.size() / 8);
    for (const wchar_t unit : text) {
        if (unit == L'\n') lines += L'\r';
        lines += unit;
    }
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
        DWORD written = 0;
        WriteConsoleW(output, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
        return;
    }
    const UINT codePage = GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : CP_ACP;
    const int size = static_cast<int>(lines.size());
    const int bytes = WideCharToMultiByte(codePage, 0, lines.data(), size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string encoded(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, lines.data(), size, encoded.data(), bytes, nullptr, nullptr);
    WriteAll(output, encoded.data(), encoded.size());
}
