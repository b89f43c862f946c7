#pragma once
// Who the running stand-in is, how it was started, and the appending of its
// record lines.

#include <windows.h>

#include <string>

#include "standins/common/RecordFormat.h"
#include "standins/common/Settings.h"

namespace standin {

struct SelfPaths {
    std::wstring exePath;       // C:\P\ruxserv.exe
    std::wstring folder;        // C:\P
    std::wstring baseName;      // ruxserv
    std::wstring recordPath;    // C:\P\ruxserv.record
    std::wstring settingsPath;  // C:\P\ruxserv.settings
};

// From the executable's full path.
SelfPaths PathsFor(const std::wstring& exePath);
SelfPaths PathsOfThisProcess();

// What the process was given at its start.
struct StartFacts {
    std::wstring commandLine;  // GetCommandLineW
    std::wstring currentDir;
    DWORD startupFlags = 0;    // STARTUPINFOW dwFlags
    WORD showWindow = 0;       // STARTUPINFOW wShowWindow
    DWORD pid = 0;
};
StartFacts CaptureStartFacts();

// "event", "time", "tick" and "pid" first, then the extra fields.
RecordFields EventFields(const std::string& event, const RecordFields& extra = {});
// The fields of a start: the option acted on, its arguments and StartFacts.
RecordFields StartFields(const std::string& event, const std::wstring& option, const std::wstring& arguments,
                         const StartFacts& facts);

bool AppendRecord(const SelfPaths& self, const RecordFields& fields);

std::string Hex32(DWORD value);  // "0x00000401"

}  // namespace standin
