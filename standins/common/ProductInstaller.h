#pragma once
// Lays the stand-in products out as their installers would: the protection
// product in its folder with the tool beside it, the engine in its own folder,
// both services registered and the main program in the current user's Run key.
//
//   <productDir>\zelunst.exe, ruxserv.exe, ruxmain.exe, deinstall.exe,
//                shellext.dll
//   <productDir>\uninstall\unins000.exe
//   <productDir>\subsystem\zelde\zeldecs.dll   (when the bin folder has it)
//   <engineDir>\zelserv.exe, izelreg.exe
//   service "zelserv": ImagePath <engineDir>\zelserv.exe (quoted only when it
//                      holds a space)
//   service "ruxserv": "<productDir>\ruxserv.exe", quoted as its -install does
//   HKCU\Software\Microsoft\Windows\CurrentVersion\Run "RUXMain" = ruxmain.exe
//   (value names are case-insensitive: this is also the "ruxmain" value)
//   HKLM\SYSTEM\CurrentControlSet\Services\nydkernel: the kernel service's key
//                      only (no driver exists): Type 1, Start 4 (disabled, so
//                      Wine never tries to load it), ImagePath of a .sys file

#include <windows.h>

#include <string>

namespace standin {

struct InstallChoices {
    bool tool = true;             // zelunst.exe
    bool productPrograms = true;  // ruxserv.exe, ruxmain.exe, deinstall.exe, shellext.dll
    bool uninstaller = true;      // uninstall\unins000.exe
    bool solution = true;         // subsystem\zelde\zeldecs.dll
    bool enginePrograms = true;   // zelserv.exe, izelreg.exe
    bool engineService = true;    // service "zelserv"
    bool productService = true;   // service "ruxserv"
    bool runValue = true;         // "RUXMain" in the Run key
    bool kernelServiceKey = true; // the "nydkernel" service key
};

struct InstallResult {
    DWORD error = ERROR_SUCCESS;  // Win32 code of the first step that failed
    std::wstring failedStep;      // what it was doing, for a message
    bool ok() const { return error == ERROR_SUCCESS; }
};

InstallResult InstallStandInProduct(const std::wstring& binDir, const std::wstring& productDir,
                                    const std::wstring& engineDir, const InstallChoices& choices = {});

// Undoes the registration: ends running main programs, makes the services
// accept the stop again (their settings files are removed), stops and deletes
// "zelserv" and "ruxserv", deletes the Run value and the "nydkernel" key.
// Files stay.
void UninstallStandInProduct();

// The registered binary path of a service with its quotes removed, or "".
std::wstring ServiceProgramPath(const std::wstring& name);
// Reads the "RUXMain" Run value; "" when absent.
std::wstring MainProgramRunValue();
// Ends every running process with that image name; how many were ended.
int EndProcessesNamed(const std::wstring& imageName, DWORD waitMs);
// Ends every running process whose program file lies in folder or below it,
// waiting up to waitMs for each; how many were ended.
int EndProcessesIn(const std::wstring& folder, DWORD waitMs);

}  // namespace standin
