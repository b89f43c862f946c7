// When a message box can reach a person: the rule alone, on given values.
#include <gtest/gtest.h>

#include "system/UserNotice.h"

TEST(UserNoticeRule, ShownOnlyOutsideSessionZeroOnAVisibleWindowStation) {
    struct Row {
        std::optional<DWORD> sessionId;
        std::optional<DWORD> flags;
        bool shown;
    };
    const Row rows[] = {
        {1, WSF_VISIBLE, true},           // a user's desktop (Wine reports session 1, WinSta0 visible)
        {2, WSF_VISIBLE | 0x100, true},   // other flags do not matter
        {0, WSF_VISIBLE, false},          // session 0: services, nobody at the screen
        {1, 0, false},                    // a window station of its own, or a service's
        {0, 0, false},
        {std::nullopt, WSF_VISIBLE, true},  // what cannot be read does not hide the box
        {1, std::nullopt, true},
        {std::nullopt, std::nullopt, true},
        {0, std::nullopt, false},
        {std::nullopt, 0, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(NoticeCanBeSeen(row.sessionId, row.flags), row.shown)
            << "session " << row.sessionId.value_or(~0u) << " flags " << row.flags.value_or(~0u);
    }
}
