#include "base/Files.h"

#include <windows.h>

#include "base/Handles.h"
#include "base/Paths.h"

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    FileHandle file(CreateFileW(LongPathForm(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    if (!file) return std::nullopt;
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
    return bytes;
}
