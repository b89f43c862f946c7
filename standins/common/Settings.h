#pragma once
// The settings file of a stand-in program: UTF-8 "key=value" lines, blanks
// around keys and values ignored, lines starting with '#' are comments.
// A key may be scoped to one option: "uninstall.delay_ms" applies only when
// the program acts on "/uninstall" (the option without its leading '/' or
// '-'), and wins over the plain "delay_ms".

#include <windows.h>

#include <map>
#include <optional>
#include <string>

namespace standin {

// The knobs, named for what they simulate.
inline constexpr char kDelayMs[] = "delay_ms";          // slow: sleep this long before ending
inline constexpr char kHang[] = "hang";                 // never end
inline constexpr char kExitCode[] = "exit_code";        // end with this code
inline constexpr char kStopDelayMs[] = "stop_delay_ms"; // service: stop this long after the control
inline constexpr char kRefuseStop[] = "refuse_stop";    // service: do not accept the stop control
inline constexpr char kStopWaitMs[] = "stop_wait_ms";   // "-stop": how long to wait for the stopped state
inline constexpr char kHoldFile[] = "hold_file";        // main program: keep this file open, unshared
inline constexpr char kHoldReadable[] = "hold_readable"; // main program: hold_file stays readable by others
inline constexpr char kHoldMs[] = "hold_ms";            // main program: let go of hold_file after this long
inline constexpr char kHoldMsAfter[] = "hold_ms_after"; // main program: hold_ms counts from when this path appears
inline constexpr char kLoadLibrary[] = "load_library";  // main program: keep this library loaded
inline constexpr char kUpdateMutexMs[] = "update_mutex_ms";  // main program: own the update mutex this long

class Settings {
public:
    static Settings Parse(const std::string& text);
    // A missing or unreadable file gives empty settings.
    static Settings Load(const std::wstring& path);

    // The value for the option ("/uninstall", "-stop", or "" for none).
    std::optional<std::string> Find(const std::wstring& option, const std::string& key) const;
    // Decimal or 0x-prefixed hexadecimal; the fallback when absent or malformed.
    DWORD Number(const std::wstring& option, const std::string& key, DWORD fallback) const;
    // "1", "true", "yes" or "on" (any case) are true.
    bool Flag(const std::wstring& option, const std::string& key) const;

    const std::map<std::string, std::string>& Values() const { return values_; }

private:
    std::map<std::string, std::string> values_;
};

// "/uninstall_product" -> "uninstall_product": the prefix of scoped keys.
std::string OptionScope(const std::wstring& option);
std::string FormatSettings(const std::map<std::string, std::string>& values);
// Replaces the file whole (written beside it, then moved over it), so a
// service reading it at that moment never sees it half written. An empty map
// removes the file. False when it cannot.
bool WriteSettingsFile(const std::wstring& path, const std::map<std::string, std::string>& values);
std::optional<DWORD> ParseNumber(const std::string& text);

}  // namespace standin
