#pragma once
// Test-side access to the stand-in products: their record files, their
// settings files, and the installed stand-in product (see standins/README.md).

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "standins/common/ProductInstaller.h"

namespace zeltest {

// Where the product's main program is started from at log-on.
inline const std::wstring kAutostartKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Starts a command line and does not wait for it (invalid handles when it
// cannot start). The start-up flags and show state reach the child as given;
// a desktop ("Station\Desktop") is where the child runs, else the caller's.
ProcessHandles StartProcess(const std::wstring& commandLine, const std::wstring& currentDir = L"",
                            DWORD startupFlags = 0, WORD showWindow = 0, const std::wstring& desktop = L"");
bool HasEnded(const ProcessHandles& process, DWORD waitMs = 0);
// The exit code, or STILL_ACTIVE when it has not ended within the time.
DWORD WaitExitCode(const ProcessHandles& process, DWORD timeoutMs = 60000);

// One line of a stand-in's record file.
struct StandInRecord {
    std::string event;         // start, exit, hang, service_start, stop_request, service_stopped, ...
    DWORD pid = 0;
    std::string option;        // the option acted on ("" for none)
    std::wstring arguments;    // the arguments after the program name, joined by spaces
    std::wstring commandLine;  // GetCommandLineW of a start
    std::wstring currentDir;
    DWORD startupFlags = 0;    // STARTUPINFOW dwFlags of a start
    WORD showWindow = 0;       // STARTUPINFOW wShowWindow of a start
    std::map<std::string, std::string> fields;  // every field of the line, UTF-8
    std::string Field(const std::string& key) const;
};

// The record file beside an executable (C:\P\ruxserv.exe -> C:\P\ruxserv.record).
std::wstring RecordPathOf(const std::wstring& exePath);
std::wstring SettingsPathOf(const std::wstring& exePath);

std::vector<StandInRecord> ReadRecords(const std::wstring& exePath);
// Only the lines of one event.
std::vector<StandInRecord> ReadRecords(const std::wstring& exePath, const std::string& event);
// Polls until the record file holds `count` lines of the event (for programs
// nobody waits for); what it holds then, also after the time-out.
std::vector<StandInRecord> WaitForRecords(const std::wstring& exePath, const std::string& event, size_t count,
                                          DWORD timeoutMs = 20000);
void ClearRecords(const std::wstring& exePath);
// The options a program was started with, in its record file's order.
std::vector<std::string> OptionsStarted(const std::wstring& exePath);
// A record's GetTickCount64 (0 when it has none).
unsigned long long TickOf(const StandInRecord& record);

// Replaces the settings file beside the executable, e.g. {{"delay_ms", "7000"}}.
void WriteSettings(const std::wstring& exePath, const std::map<std::string, std::string>& values);
void ClearSettings(const std::wstring& exePath);

// Where InstallStandInProduct puts each program.
struct StandInProduct {
    std::wstring productDir;
    std::wstring engineDir;
    std::wstring Tool() const { return productDir + L"\\zelunst.exe"; }
    std::wstring ProductService() const { return productDir + L"\\ruxserv.exe"; }
    std::wstring MainProgram() const { return productDir + L"\\ruxmain.exe"; }
    std::wstring Deinstaller() const { return productDir + L"\\deinstall.exe"; }
    std::wstring Uninstaller() const { return productDir + L"\\uninstall\\unins000.exe"; }
    std::wstring Solution() const { return productDir + L"\\subsystem\\zelde\\zeldecs.dll"; }
    std::wstring EngineService() const { return engineDir + L"\\zelserv.exe"; }
    std::wstring Registration() const { return engineDir + L"\\izelreg.exe"; }
};

// Installs from BinDir(); a failure is reported as a test failure.
StandInProduct InstallStandInProduct(const std::wstring& productDir, const std::wstring& engineDir,
                                     const standin::InstallChoices& choices = {});
// Ends ruxmain.exe, stops and deletes both services, deletes the Run value,
// then ends whatever still runs from the product's folders (a child a run
// left behind, a service process still exiting), so that they can be removed
// or installed over.
void UninstallStandInProduct(const StandInProduct& product);

}  // namespace zeltest
