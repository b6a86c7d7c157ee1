#include <gtest/gtest.h>

#include <string>

#include "app/environment_core.h"

namespace {

struct Version {
    uint32_t platform, major, minor;
    int result;
    bool nt, nt4, w2k, w9x, me;
};

TEST(Platform, FlagsForEveryVersion) {
    const Version cases[] = {
        {kPlatformWin9x, 4, 0, 1, false, false, false, true, false},    // 95
        {kPlatformWin9x, 4, 10, 1, false, false, false, true, false},   // 98
        {kPlatformWin9x, 4, 90, 1, false, false, false, true, true},    // ME
        {kPlatformWin9x, 4, 20, 0, false, false, false, true, false},   // unknown 9x minor
        {kPlatformWin9x, 5, 0, 0, false, false, false, false, false},   // not major 4
        {kPlatformNt, 3, 51, 1, true, true, false, false, false},
        {kPlatformNt, 4, 0, 1, true, true, false, false, false},        // NT 4
        {kPlatformNt, 5, 0, 1, true, false, true, false, false},        // 2000
        {kPlatformNt, 5, 1, 1, true, false, false, false, false},       // XP
        {kPlatformNt, 5, 2, 0, true, false, false, false, false},       // 2003: NT family only
        {kPlatformNt, 6, 1, 0, true, false, false, false, false},       // 7
        {0, 3, 10, 0, false, false, false, false, false},               // Win32s
    };
    for (const Version& v : cases) {
        RunFlags f;
        SCOPED_TRACE(std::to_string(v.platform) + " " + std::to_string(v.major) + "." + std::to_string(v.minor));
        EXPECT_EQ(ClassifyPlatform(v.platform, v.major, v.minor, f), v.result);
        EXPECT_EQ(f.isNtFamily, v.nt);
        EXPECT_EQ(f.isNt4, v.nt4);
        EXPECT_EQ(f.isWin2000, v.w2k);
        EXPECT_EQ(f.isWin9xFamily, v.w9x);
        EXPECT_EQ(f.isWinMe, v.me);
    }
}

TEST(Platform, FlagsAreOnlyEverSwitchedOn) {
    RunFlags f;
    ClassifyPlatform(kPlatformNt, 5, 0, f);
    ClassifyPlatform(kPlatformNt, 5, 1, f);
    EXPECT_TRUE(f.isWin2000);
}

TEST(BootMode, Rules) {
    // required: 0 normal, 1 safe (with or without network), 2 safe with network, other any
    const int expected[4][3] = {{1, 0, 0}, {0, 1, 1}, {0, 0, 1}, {1, 1, 1}};
    for (uint32_t req = 0; req < 4; ++req)
        for (uint32_t cur = 0; cur < 3; ++cur)
            EXPECT_EQ(BootModeAllowed(req, cur), expected[req][cur]) << req << " " << cur;
    EXPECT_EQ(BootModeAllowed(7, 2), 1);
}

TEST(SystemRestore, OnlyALeadingYMeansOn) {
    EXPECT_TRUE(SystemRestoreOn("Y"));
    EXPECT_TRUE(SystemRestoreOn("YES"));
    EXPECT_FALSE(SystemRestoreOn("y"));
    EXPECT_FALSE(SystemRestoreOn("N"));
    EXPECT_FALSE(SystemRestoreOn(""));
    EXPECT_FALSE(SystemRestoreOn(nullptr));
}

TEST(SystemRestore, TextsHaveNoTrailingLineBreak) {
    std::string warning = kSystemRestoreEnabledWarning;
    std::string notice = kSystemRestoreDisabledNotice;
    EXPECT_EQ(warning.back(), '.');
    const std::string last = " - Click Yes to restart.";
    EXPECT_EQ(notice.substr(notice.size() - last.size()), last);
}

}  // namespace
