#include "system/Registry.h"

#include "base/Handles.h"
#include "system/Products.h"

int _SetServiceDemandStart(const wchar_t* serviceKey) {
    // A null or empty key path would open HKEY_LOCAL_MACHINE itself.
    if (serviceKey == nullptr || serviceKey[0] == L'\0') return 0;
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, serviceKey, 0, KEY_ALL_ACCESS, key.Put()) != ERROR_SUCCESS) return 0;
    const DWORD demandStart = SERVICE_DEMAND_START;
    const LSTATUS written = RegSetValueExW(key.Get(), products::kServiceStartValue, 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&demandStart), sizeof(demandStart));
    return written == ERROR_SUCCESS ? 1 : 0;
}

LSTATUS _DeleteRunValue() {
    RegKey key;
    const LSTATUS opened = RegOpenKeyExW(HKEY_CURRENT_USER, products::kRunKey, 0, KEY_ALL_ACCESS, key.Put());
    if (opened != ERROR_SUCCESS) return opened;
    return RegDeleteValueW(key.Get(), products::kRunValue);
}

LSTATUS DeleteLowercaseRunValue() {
    RegKey key;
    const LSTATUS created = RegCreateKeyW(HKEY_CURRENT_USER, products::kRunKey, key.Put());
    if (created != ERROR_SUCCESS) return created;
    if (!key) return ERROR_INVALID_HANDLE;
    return RegDeleteValueW(key.Get(), products::kRunValueLower);
}

std::optional<DWORD> ReadMachineDword(const wchar_t* key, const wchar_t* name) {
    RegKey opened;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, opened.Put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (RegGetValueW(opened.Get(), nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}
