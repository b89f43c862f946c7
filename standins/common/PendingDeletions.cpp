#include "standins/common/PendingDeletions.h"

#include <windows.h>

namespace standin {

namespace {

constexpr wchar_t kSessionManagerKey[] = L"System\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingValue[] = L"PendingFileRenameOperations";

}  // namespace

std::vector<std::wstring> PendingDeletions() {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingValue, RRF_RT_REG_MULTI_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS) {
        return {};
    }
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingValue, RRF_RT_REG_MULTI_SZ, nullptr,
                     value.data(), &bytes) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(bytes / sizeof(wchar_t));
    // Pairs of strings, each ended by its own terminator: the path, then its
    // new path or an empty string for a deletion.
    std::vector<std::wstring> strings;
    for (size_t start = 0; start < value.size();) {
        const size_t end = value.find(L'\0', start);
        strings.push_back(value.substr(start, end - start));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    std::vector<std::wstring> deletions;
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (strings[i].empty() || !strings[i + 1].empty()) continue;
        const std::wstring& path = strings[i];
        deletions.push_back(path.compare(0, 4, L"\\??\\") == 0 ? path.substr(4) : path);
    }
    return deletions;
}

}  // namespace standin
