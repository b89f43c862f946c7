// The engine library's limit: an "EngineCallTimeout=" argument, else the
// administrator's policy value under HKLM (a REG_DWORD of seconds), else 900 s;
// a policy value other than the default is logged.
#include <gtest/gtest.h>

#include "launcher/Launcher.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

TEST(EngineCallLimit, ArgumentElsePolicyValueElseTheDefault) {
    const wchar_t* const key = L"SOFTWARE\\Policies\\Ostiga\\zelunst";
    const DWORD five = 5, zero = 0, nineHundred = 900;
    const ULONGLONG wide = 5;
    const struct {
        HKEY root;  // where the value is written; null for none
        DWORD type;
        const void* data;
        DWORD bytes;
        const wchar_t* argument;  // after -install; null for none
        DWORD seconds;
        const char* logged;  // null: nothing
    } rows[] = {
        {nullptr, REG_NONE, nullptr, 0, nullptr, 900, nullptr},
        {HKEY_LOCAL_MACHINE, REG_DWORD, &five, 4, nullptr, 5,
         "The engine library is given at most 5 s (policy EngineCallTimeout)"},
        {HKEY_LOCAL_MACHINE, REG_DWORD, &zero, 4, nullptr, 0,
         "The engine library is given no time limit (policy EngineCallTimeout)"},
        {HKEY_LOCAL_MACHINE, REG_DWORD, &nineHundred, 4, nullptr, 900, nullptr},
        // Another type, or another hive, leaves the default.
        {HKEY_LOCAL_MACHINE, REG_SZ, L"5", 4, nullptr, 900, nullptr},
        {HKEY_LOCAL_MACHINE, REG_QWORD, &wide, 8, nullptr, 900, nullptr},
        {HKEY_CURRENT_USER, REG_DWORD, &five, 4, nullptr, 900, nullptr},
        // The argument wins over the policy, in any case; a malformed one is ignored.
        {HKEY_LOCAL_MACHINE, REG_DWORD, &five, 4, L"enginecalltimeout=120", 120, nullptr},
        {nullptr, REG_NONE, nullptr, 0, L"EngineCallTimeout=12x", 900, nullptr},
        {nullptr, REG_NONE, nullptr, 0, L"EngineCallTimeout=", 900, nullptr},
        {nullptr, REG_NONE, nullptr, 0, L"EngineCallTimeout=4294967296", 900, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seconds);
        for (const HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) DeleteRegTree(root, key);
        if (row.root != nullptr) {
            ASSERT_EQ(RegSetKeyValueW(row.root, key, L"EngineCallTimeout", row.type, row.data, row.bytes),
                      ERROR_SUCCESS);
        }
        const wchar_t* argv[] = {L"zelunst.exe", L"-install", row.argument};
        const size_t linesBefore = LogLines(TestProgramFolder()).size();
        EXPECT_EQ(ChooseEngineCallLimit(row.argument != nullptr ? 3 : 2, argv), row.seconds);
        const std::vector<std::string> log = LogLines(TestProgramFolder());
        EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(linesBefore), log.end()),
                  row.logged != nullptr ? std::vector<std::string>{row.logged} : std::vector<std::string>{});
    }
}
