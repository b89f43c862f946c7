#include "standins/common/Files.h"

#include <windows.h>

#include "base/Handles.h"

namespace standin {

bool AppendLine(const std::wstring& path, const std::string& line) {
    // One writer at a time: two programs started together (ruxserv -install
    // and -installproduct) were seen to lose one's line under Wine when both
    // appended at once. Another writer holds the file for a moment only:
    // retry briefly. Readers are let in all along.
    for (int attempt = 0; attempt < 250; ++attempt) {
        FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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
