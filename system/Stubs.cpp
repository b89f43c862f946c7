// Placeholders until the operations land; each reports failure.
#include "system/ChildProcess.h"
#include "system/ServiceControl.h"

std::wstring CommandLineFor(const std::wstring& executable, const std::wstring&) { return executable; }
BOOL StartChild(Launch, const std::wstring&, const std::wstring&, ProcessHandles&, const wchar_t*) { return FALSE; }
int _RunAndWait(const wchar_t*, const wchar_t*, DWORD*) { return 0; }
BOOL _DoCreateProcess(const std::wstring&, const std::wstring&, const std::wstring&) { return FALSE; }
DWORD ZelUnstall_StopServices() { return E_FAIL; }
HRESULT VMyQueryServicState(DWORD*) { return E_FAIL; }
int KillRUXMainProcess() { return 0; }
int _SetServiceDemandStart(const wchar_t*) { return 0; }
LSTATUS _DeleteRunValue() { return ERROR_FILE_NOT_FOUND; }
wchar_t* _GetCommonFilesDir(wchar_t* buffer) {
    if (buffer != nullptr) buffer[0] = L'\0';
    return buffer;
}
