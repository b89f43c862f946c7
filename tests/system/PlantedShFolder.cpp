// A ShFolder.dll as an attacker would plant it beside the tool: it leaves
// "planted_loaded.txt" in its own folder when loaded and answers every folder
// question with "C:\planted".
#include <windows.h>

#include <cwchar>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (slash == nullptr || (slash - path) + 20 >= MAX_PATH) return TRUE;
    wcscpy(slash + 1, L"planted_loaded.txt");
    const HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI SHGetFolderPathW(HWND, int, HANDLE, DWORD, LPWSTR path) {
    wcscpy(path, L"C:\\planted");
    return S_OK;
}
