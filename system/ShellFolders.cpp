#include "system/ShellFolders.h"

#include <shlobj.h>

#include "system/LibrarySearch.h"
#include "system/Products.h"

namespace {

using SHGetFolderPathWFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);

}  // namespace

wchar_t* _GetCommonFilesDir(wchar_t* buffer) {
    wchar_t folder[MAX_PATH] = {};
    {
        const Library shfolder = LoadSystemLibrary(products::kCommonFilesLibrary);
        const FARPROC function = shfolder ? GetProcAddress(shfolder.Get(), "SHGetFolderPathW") : nullptr;
        if (function != nullptr) {
            const auto getFolderPath =
                reinterpret_cast<SHGetFolderPathWFunction>(reinterpret_cast<void (*)()>(function));
            getFolderPath(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, SHGFP_TYPE_CURRENT, folder);
            folder[MAX_PATH - 1] = L'\0';
        }
    }
    if (buffer == nullptr) return nullptr;
    wcscpy_s(buffer, MAX_PATH, folder);
    return buffer;
}
