#include "base/KeeperCommandLine.h"

#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cwchar>

#include "base/Handles.h"
#include "base/Text.h"

namespace {

std::optional<std::uintptr_t> FromHexDigits(const wchar_t* text) {
    const size_t length = wcslen(text);
    if (length == 0 || wcsspn(text, L"0123456789ABCDEFabcdef") != length) return std::nullopt;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long value = wcstoul(text, &end, 16);
    if (*end != L'\0' || errno != 0) return std::nullopt;
    return static_cast<std::uintptr_t>(value);
}

// Hex digits alone, without the "0x".
const wchar_t* HexDigitsOf(const FixedText& hex) { return hex.Text() + 2; }

}  // namespace

std::wstring KeeperArgumentsText(const KeeperCommandLineValues& values) {
    return std::wstring(kRecordKeeperOption) + L" " + HexDigitsOf(FixedText().Hex(values.run, 1)) + L" " +
           HexDigitsOf(FixedText().Hex(values.handOver, 1));
}

std::optional<KeeperCommandLineValues> KeeperValuesFrom(int argc, const wchar_t* const* argv) {
    if (argc != 4 || wcscmp(argv[1], kRecordKeeperOption) != 0) return std::nullopt;
    const std::optional<std::uintptr_t> run = FromHexDigits(argv[2]);
    const std::optional<std::uintptr_t> handOver = FromHexDigits(argv[3]);
    if (!run || !handOver) return std::nullopt;
    return KeeperCommandLineValues{*run, *handOver};
}

std::optional<KeeperCommandLineValues> KeeperValuesOfThisProcess() {
    int argc = 0;
    const LocalMemory arguments(reinterpret_cast<HLOCAL>(CommandLineToArgvW(GetCommandLineW(), &argc)));
    if (!arguments) return std::nullopt;
    return KeeperValuesFrom(argc, static_cast<wchar_t**>(arguments.Get()));
}
