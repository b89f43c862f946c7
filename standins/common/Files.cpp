#include "standins/common/Files.h"

#include <windows.h>

#include "base/Handles.h"

namespace standin {

bool AppendLine(const std::wstring& path, const std::string& line) {
    // Another writer or a reader may hold the file for a moment: retry briefly.
    for (int attempt = 0; attempt < 50; ++attempt) {
        FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            DWORD written = 0;
            return WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
                   written == line.size();
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) return false;
        Sleep(20);
    }
    return false;
}

}  // namespace standin
