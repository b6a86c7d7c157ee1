#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "scan/wininit_core.h"

namespace {

// One section of a profile file, kept as the private-profile functions do.
class FakeProfile : public ProfileAccess {
public:
    uint32_t GetString(const char* section, const char* key, char* out, uint32_t size) override {
        out[0] = '\0';
        if (!hasSection || std::string(section) != kRenameSection) return 0;
        for (auto& kv : lines)
            if (strcasecmp(kv.first.c_str(), key) == 0) {
                std::snprintf(out, size, "%s", kv.second.c_str());
                return static_cast<uint32_t>(std::strlen(out));
            }
        return 0;
    }
    uint32_t GetSection(const char*, char* out, uint32_t size) override {
        std::string text;
        for (auto& kv : lines) text += kv.first + "=" + kv.second + '\0';
        if (text.size() + 1 > size) {   // cut off: size - 2 and two zeros
            std::memcpy(out, text.data(), size - 2);
            out[size - 2] = out[size - 1] = '\0';
            return size - 2;
        }
        std::memcpy(out, text.data(), text.size());
        out[text.size()] = '\0';
        return static_cast<uint32_t>(text.size());
    }
    bool WriteString(const char*, const char* key, const char* value) override {
        ++writes;
        hasSection = true;
        for (auto& kv : lines)
            if (strcasecmp(kv.first.c_str(), key) == 0) {
                kv.second = value;
                return true;
            }
        lines.emplace_back(key, value);
        return true;
    }
    bool WriteSection(const char*, const char* text) override {
        ++writes;
        lines.clear();
        for (const char* p = text; *p; p += std::strlen(p) + 1) {
            std::string line = p;
            size_t eq = line.find('=');
            lines.emplace_back(line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
        }
        hasSection = true;
        return true;
    }
    void Flush() override { ++flushes; }

    bool hasSection = false;
    std::vector<std::pair<std::string, std::string>> lines;
    int writes = 0;
    int flushes = 0;
};

using Lines = std::vector<std::pair<std::string, std::string>>;

TEST(Wininit, MissingSectionIsCreatedWithTheKey) {
    FakeProfile p;
    ASSERT_TRUE(AddNulRenameLine(p, "C:\\WINDOWS\\TEMP\\VCAB.DLL"));
    EXPECT_EQ(p.lines, (Lines{{"NUL", "C:\\WINDOWS\\TEMP\\VCAB.DLL"}}));
    EXPECT_EQ(p.flushes, 1);
}

TEST(Wininit, SecondNulLineAppendedAfterTheExistingOnes) {
    FakeProfile p;
    p.hasSection = true;
    p.lines = {{"NUL", "C:\\OTHER.DLL"}, {"C:\\NEW.EXE", "C:\\OLD.EXE"}};
    ASSERT_TRUE(AddNulRenameLine(p, "C:\\TEMP\\VCAB.DLL"));
    ASSERT_TRUE(AddNulRenameLine(p, "C:\\TEMP\\THIRD.DLL"));
    EXPECT_EQ(p.lines, (Lines{{"NUL", "C:\\OTHER.DLL"},
                              {"C:\\NEW.EXE", "C:\\OLD.EXE"},
                              {"NUL", "C:\\TEMP\\VCAB.DLL"},
                              {"NUL", "C:\\TEMP\\THIRD.DLL"}}));
    EXPECT_EQ(p.flushes, 2);
}

// A replacement is "<target>=<source>"; a second one for the same target
// cannot be added by key and goes at the end of the section, like "NUL".
TEST(Wininit, ReplacementLinesKeepTheirOrder) {
    FakeProfile p;
    ASSERT_TRUE(AddRenameLine(p, "C:\\BT\\HELD.EXE", "C:\\BT\\HELDEX~1.FIX"));
    ASSERT_TRUE(AddNulRenameLine(p, "C:\\TEMP\\VCAB.DLL"));
    ASSERT_TRUE(AddRenameLine(p, "c:\\bt\\held.exe", "C:\\BT\\HELDEX~2.FIX"));
    EXPECT_EQ(p.lines, (Lines{{"C:\\BT\\HELD.EXE", "C:\\BT\\HELDEX~1.FIX"},
                              {"NUL", "C:\\TEMP\\VCAB.DLL"},
                              {"c:\\bt\\held.exe", "C:\\BT\\HELDEX~2.FIX"}}));
    EXPECT_EQ(p.flushes, 3);
    EXPECT_FALSE(AddRenameLine(p, "", "C:\\X"));
    EXPECT_FALSE(AddRenameLine(p, "C:\\X", ""));
    EXPECT_EQ(p.writes, 3);
}

TEST(Wininit, SectionThatWouldReachTheLimitIsNotWritten) {
    std::string path = "C:\\TEMP\\VCAB.DLL";   // 16 characters
    // Section text of f bytes: the line fits while 16 + f + 9 < 0x7FFF.
    auto withLength = [](uint32_t f) {
        FakeProfile p;
        p.hasSection = true;
        p.lines = {{"NUL", "C:\\OTHER.DLL"}};    // 17 bytes with its zero
        p.lines.emplace_back("K", std::string(f - 17 - 3, 'x'));
        return p;
    };
    FakeProfile fits = withLength(0x7FFF - 26);
    EXPECT_TRUE(AddNulRenameLine(fits, path.c_str()));
    EXPECT_EQ(fits.lines.back(), (std::pair<std::string, std::string>{"NUL", path}));

    FakeProfile full = withLength(0x7FFF - 25);
    EXPECT_FALSE(AddNulRenameLine(full, path.c_str()));
    EXPECT_EQ(full.writes, 0);
    EXPECT_EQ(full.flushes, 0);

    // A section larger than the buffer comes back cut off; it is never written back.
    FakeProfile huge = withLength(0x9000);
    size_t before = huge.lines.size();
    EXPECT_FALSE(AddNulRenameLine(huge, path.c_str()));
    EXPECT_EQ(huge.writes, 0);
    EXPECT_EQ(huge.lines.size(), before);
}

TEST(Wininit, WindowsDirectoryLengthLimit) {
    char out[kWininitPathBytes];
    ASSERT_TRUE(ComposeWininitPath("C:\\WINDOWS", out, sizeof out));
    EXPECT_STREQ(out, "C:\\WINDOWS\\WININIT.INI");
    std::string dir247 = "C:\\" + std::string(244, 'd');
    ASSERT_TRUE(ComposeWininitPath(dir247.c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), dir247 + "\\WININIT.INI");
    std::string dir248 = dir247 + "d";
    EXPECT_FALSE(ComposeWininitPath(dir248.c_str(), out, sizeof out));
    EXPECT_STREQ(out, "");
}

}  // namespace
