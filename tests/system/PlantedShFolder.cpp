// A ShFolder.dll as an attacker would plant it beside the tool: it leaves
// "planted_loaded.txt" in its own folder when loaded and answers every folder
// question with "C:\planted".
#include <windows.h>

#include <cwchar>
#include <string>

#include "base/Handles.h"
#include "base/Paths.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    const std::wstring path = ModulePath(module);
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return TRUE;
    const std::wstring marker = path.substr(0, slash + 1) + L"planted_loaded.txt";
    // Only the file's existence counts: it is closed at once.
    const FileHandle created(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI SHGetFolderPathW(HWND, int, HANDLE, DWORD, LPWSTR path) {
    wcscpy(path, L"C:\\planted");
    return S_OK;
}
