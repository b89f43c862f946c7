#pragma once
// Registry values of the products. None of these operations logs; their
// callers do.

#include <windows.h>

// 1 when "Start" = 3 was written under HKLM\serviceKey (never created), else
// 0; a null or empty serviceKey gives 0.
int _SetServiceDemandStart(const wchar_t* serviceKey);

// Deletes the autostart value "RUXMain" under HKCU\...\Run, never creating the
// key: 0, or the failing registry call's code (2 when the key or value is absent).
LSTATUS _DeleteRunValue();

// Deletes the autostart value under its lower-case name "ruxmain", creating
// the Run key when it is missing: 0, or the failing registry call's code.
LSTATUS DeleteLowercaseRunValue();
