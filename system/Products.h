#pragma once
// Names of the products' programs, services, registry entries and folders that
// the tool drives. The programs themselves belong to the products.

namespace products {

// Engine side (folder: CUnstallContext::engineDir).
inline constexpr wchar_t kEngineService[] = L"zelserv";
inline constexpr wchar_t kEngineServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\zelserv";
inline constexpr wchar_t kEngineProgram[] = L"zelserv.exe";
inline constexpr wchar_t kRegistrationProgram[] = L"izelreg.exe";
inline constexpr wchar_t kRegistrationParameters[] = L"zelreg.ini";

// Protection product side (folder: CUnstallContext::programDir).
inline constexpr wchar_t kProductService[] = L"ruxserv";
inline constexpr wchar_t kProductServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\ruxserv";
inline constexpr wchar_t kKernelServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\nydkernel";
inline constexpr wchar_t kProductServiceProgram[] = L"ruxserv.exe";
inline constexpr wchar_t kMainProgram[] = L"ruxmain.exe";
inline constexpr wchar_t kDeinstaller[] = L"deinstall.exe";
inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kRunValue[] = L"RUXMain";
inline constexpr wchar_t kRunValueLower[] = L"ruxmain";
inline constexpr wchar_t kUpdateMutex[] = L"A73097BB-7BF9-4f0b-A85E-41FB375C0B50";
inline constexpr wchar_t kSafeDesktop[] = L"_RUX_SAFEDESKTOP_";

// Registry value of a service key that holds its start type.
inline constexpr wchar_t kServiceStartValue[] = L"Start";
// Library that tells the common program files folder.
inline constexpr wchar_t kCommonFilesLibrary[] = L"ShFolder.dll";

}  // namespace products
