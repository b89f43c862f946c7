#include "system/LibrarySearch.h"

#include <string>

bool RestrictLibrarySearch() {
    const auto setDefaultDirectories = Kernel32Function<BOOL(WINAPI*)(DWORD)>("SetDefaultDllDirectories");
    return setDefaultDirectories != nullptr &&
           setDefaultDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

Library LoadSystemLibrary(const wchar_t* fileName) {
    wchar_t systemDir[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return Library();
    const std::wstring path = std::wstring(systemDir, length) + L'\\' + fileName;
    return Library(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}
