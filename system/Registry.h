#pragma once
// Registry values of the products. None of these operations logs; their
// callers do.

#include <windows.h>

#include <optional>

// 1 when "Start" = 3 was written under HKLM\serviceKey (never created), else
// 0; a null or empty serviceKey gives 0.
int _SetServiceDemandStart(const wchar_t* serviceKey);

// Deletes the autostart value "RUXMain" under HKCU\...\Run, never creating the
// key: 0, or the failing registry call's code (2 when the key or value is absent).
LSTATUS _DeleteRunValue();

// Deletes the autostart value under its lower-case name "ruxmain", creating
// the Run key when it is missing: 0, or the failing registry call's code.
LSTATUS DeleteLowercaseRunValue();

// The REG_DWORD `name` under HKLM\key, in the registry view that 64-bit
// programs, regedit and Group Policy write (KEY_WOW64_64KEY; the flag changes
// nothing on 32-bit Windows). Nothing when the key or the value is missing or
// cannot be read, or the value is of another type.
std::optional<DWORD> ReadMachineDword(const wchar_t* key, const wchar_t* name);
