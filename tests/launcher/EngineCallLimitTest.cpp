// The engine library's limit: an "EngineCallTimeout=" argument, else the
// administrators' policy value (a REG_DWORD of seconds under HKLM), else 900 s;
// a policy value other than the default is logged.
#include <gtest/gtest.h>

#include "launcher/Launcher.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

TEST(EngineCallLimit, ArgumentElsePolicyValueElseTheDefault) {
    const std::wstring key = L"SOFTWARE\\Policies\\Ostiga\\zelunst";
    const struct {
        HKEY root;  // where a value is written; null for none
        DWORD type;
        DWORD value;
        const wchar_t* argument;  // after -install
        DWORD seconds;
        const char* logged;
    } rows[] = {
        {nullptr, REG_NONE, 0, nullptr, 900, nullptr},
        {HKEY_LOCAL_MACHINE, REG_DWORD, 5, nullptr, 5,
         "The engine library is given at most 5 s (policy EngineCallTimeout)"},
        {HKEY_LOCAL_MACHINE, REG_DWORD, 0, nullptr, 0,
         "The engine library is given no time limit (policy EngineCallTimeout)"},
        {HKEY_LOCAL_MACHINE, REG_DWORD, 900, nullptr, 900, nullptr},
        // Another type, or the user's hive, leaves the default.
        {HKEY_LOCAL_MACHINE, REG_SZ, 5, nullptr, 900, nullptr},
        {HKEY_CURRENT_USER, REG_DWORD, 5, nullptr, 900, nullptr},
        // The argument, in any case, wins over the policy; one that is not whole seconds is refused.
        {HKEY_LOCAL_MACHINE, REG_DWORD, 5, L"enginecalltimeout=120", 120, nullptr},
        {nullptr, REG_NONE, 0, L"EngineCallTimeout=4294967295", 4294967295, nullptr},
        {nullptr, REG_NONE, 0, L"EngineCallTimeout=4294967296", 900,
         "The argument \"EngineCallTimeout=4294967296\" is refused: it takes whole seconds, 0 for no limit"},
        {nullptr, REG_NONE, 0, L"EngineCallTimeout=", 900,
         "The argument \"EngineCallTimeout=\" is refused: it takes whole seconds, 0 for no limit"},
        {nullptr, REG_NONE, 0, L"EngineCallTimeout=-1", 900,
         "The argument \"EngineCallTimeout=-1\" is refused: it takes whole seconds, 0 for no limit"},
        {nullptr, REG_NONE, 0, L"EngineCallTimeout=+7", 900,
         "The argument \"EngineCallTimeout=+7\" is refused: it takes whole seconds, 0 for no limit"},
        {nullptr, REG_NONE, 0, L"EngineCallTimeout= 7", 900,
         "The argument \"EngineCallTimeout= 7\" is refused: it takes whole seconds, 0 for no limit"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seconds);
        for (const HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) DeleteRegTree(root, key);
        if (row.root != nullptr && row.type == REG_DWORD) SetRegDword(row.root, key, L"EngineCallTimeout", row.value);
        if (row.type == REG_SZ) SetRegString(row.root, key, L"EngineCallTimeout", std::to_wstring(row.value));
        const wchar_t* argv[] = {L"zelunst.exe", L"-install", row.argument};
        const size_t linesBefore = LogLines(TestProgramFolder()).size();
        EXPECT_EQ(ChooseEngineCallLimit(row.argument != nullptr ? 3 : 2, argv), row.seconds);
        const std::vector<std::string> log = LogLines(TestProgramFolder());
        EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(linesBefore), log.end()),
                  row.logged != nullptr ? std::vector<std::string>{row.logged} : std::vector<std::string>{});
    }
}
