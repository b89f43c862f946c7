#include "base/Paths.h"

namespace {

// CreateDirectoryW is the tightest of the path limits: MAX_PATH less room for
// an 8.3 file name. Paths from this length on get the \\?\ form.
constexpr size_t kLongPathFrom = MAX_PATH - 12;

std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(LongPathForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::wstring ModulePath(HMODULE module) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        // A full buffer means the path was cut short.
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        if (buffer.size() >= kLongestPath) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring LongPathForm(const std::wstring& path) {
    if (path.size() < kLongPathFrom) return path;
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) return path;
    const std::wstring full = FullPath(path);
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool CreateDirectoryChain(const std::wstring& path, LPSECURITY_ATTRIBUTES securityAttributes,
                          std::vector<std::wstring>* created) {
    if (IsDirectory(path)) return true;
    const size_t lastBackslash = path.rfind(L'\\');
    if (lastBackslash != std::wstring::npos &&
        !CreateDirectoryChain(path.substr(0, lastBackslash), securityAttributes, created)) {
        return false;
    }
    if (!CreateDirectoryW(LongPathForm(path).c_str(), securityAttributes)) return false;
    if (created != nullptr) created->push_back(path);
    return true;
}
