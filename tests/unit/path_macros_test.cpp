#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "scan/path_macros_core.h"

namespace {

constexpr uintptr_t kHklm = 0x80000002u;
constexpr uintptr_t kHkcu = 0x80000001u;

class FakeResolver : public MacroResolver {
public:
    bool SystemDirectory(std::string& out) override { return Get(systemDir, out); }
    bool WindowsDirectory(std::string& out) override { return Get(windowsDir, out); }
    bool TempDirectory(std::string& out) override { return Get(tempDir, out); }
    bool EnvironmentVariable(const char* name, std::string& out) override {
        ++envQueries;
        auto it = env.find(name);
        if (it == env.end()) return false;
        out = it->second;
        return true;
    }
    bool RegistryValue(uintptr_t root, const char* subKey, const char* valueName, std::vector<uint8_t>& out) override {
        auto it = registry.find({root, subKey, valueName});
        if (it == registry.end()) return false;
        out = it->second;
        return true;
    }
    void SetString(uintptr_t root, const std::string& key, const std::string& value, const std::string& data) {
        registry[{root, key, value}] = std::vector<uint8_t>(data.c_str(), data.c_str() + data.size() + 1);
    }

    std::string systemDir = "C:\\WINDOWS\\system32";
    std::string windowsDir = "C:\\WINDOWS";
    std::string tempDir = "C:\\TMP\\";
    std::map<std::string, std::string> env;
    std::map<std::tuple<uintptr_t, std::string, std::string>, std::vector<uint8_t>> registry;
    int envQueries = 0;

private:
    static bool Get(const std::string& v, std::string& out) {
        if (v.empty()) return false;
        out = v;
        return true;
    }
};

// Measures, then expands into a buffer of the measured length plus one, as the
// callers do; "" when the two calls disagree or the result is 0.
std::string Expand(MacroResolver& r, const char* text, size_t* measured = nullptr) {
    size_t n = ExpandPathMacrosWith(r, text, nullptr, 0);
    if (measured) *measured = n;
    if (!n) return "";
    std::string buf(n + 1, '\x7f');
    size_t m = ExpandPathMacrosWith(r, text, buf.data(), n + 1);
    EXPECT_EQ(m, n);
    EXPECT_EQ(buf[n], '\0');
    return buf.substr(0, n);
}

TEST(PathMacros, TempVariableMeasureAndExpandAgree) {
    FakeResolver r;
    r.env["TEMP"] = "C:\\TMP";
    size_t n = 0;
    EXPECT_EQ(Expand(r, "%TEMP%\\VCAB.DLL", &n), "C:\\TMP\\VCAB.DLL");
    EXPECT_EQ(n, 15u);
}

TEST(PathMacros, TextWithoutMacroAndStrayDelimiters) {
    FakeResolver r;
    EXPECT_EQ(Expand(r, "C:\\plain\\file.txt"), "C:\\plain\\file.txt");
    // A single '%' or a '>' without '<' is no macro.
    EXPECT_EQ(Expand(r, "C:\\50%\\a>b"), "C:\\50%\\a>b");
    EXPECT_EQ(r.envQueries, 0);
    EXPECT_EQ(ExpandPathMacrosWith(r, nullptr, nullptr, 0), 0u);
}

TEST(PathMacros, BuiltInNamesIgnoreCase) {
    FakeResolver r;
    r.env["system"] = "wrong";
    EXPECT_EQ(Expand(r, "%SyStEm%\\drivers"), "C:\\WINDOWS\\system32\\drivers");
    EXPECT_EQ(Expand(r, "%WINDIR%\\a"), "C:\\WINDOWS\\a");
    EXPECT_EQ(Expand(r, "%windows%\\a"), "C:\\WINDOWS\\a");
    // The system's temporary directory keeps its trailing backslash.
    EXPECT_EQ(Expand(r, "%TempDir%\\x.dll"), "C:\\TMP\\\\x.dll");
    EXPECT_EQ(r.envQueries, 0);
}

TEST(PathMacros, UnresolvedMacroGivesZero) {
    FakeResolver r;
    r.env["A"] = "alpha";
    EXPECT_EQ(ExpandPathMacrosWith(r, "%A%\\%NOPE%\\x", nullptr, 0), 0u);
    // A macro other than the last one that fails also fails the whole text.
    EXPECT_EQ(ExpandPathMacrosWith(r, "%NOPE%\\%A%", nullptr, 0), 0u);
    EXPECT_EQ(ExpandPathMacrosWith(r, "%%", nullptr, 0), 0u);
}

TEST(PathMacros, EveryMacroReplacedRightToLeft) {
    FakeResolver r;
    r.env["A"] = "1";
    r.env["B"] = "22";
    r.env["C"] = "333";
    r.SetString(kHklm, "Software\\Vendor", "Dir", "D:\\Vendor");
    EXPECT_EQ(Expand(r, "x%A%y%B%z%C%w"), "x1y22z333w");
    EXPECT_EQ(Expand(r, "%A%<HKLM\\Software\\Vendor\\Dir>\\%B%.dll"), "1D:\\Vendor\\22.dll");
    // A registry macro whose name holds a %-macro.
    r.SetString(kHklm, "Software\\22", "", "deflt");
    EXPECT_EQ(Expand(r, "<HKLM\\Software\\%B%\\>"), "deflt");
}

TEST(PathMacros, RegistryAliasesAndValueParts) {
    FakeResolver r;
    r.SetString(kHklm, "Software\\Vendor", "Dir", "D:\\V");
    r.SetString(kHkcu, "Env", "Home", "H:");
    r.SetString(kHklm, "", "Top", "T");
    EXPECT_EQ(Expand(r, "<HKEY_LOCAL_MACHINE\\Software\\Vendor\\Dir>\\a"), "D:\\V\\a");
    EXPECT_EQ(Expand(r, "<HKCU\\Env\\Home>\\a"), "H:\\a");
    EXPECT_EQ(Expand(r, "<HKLM\\Top>"), "T");
    // Aliases compare with exact case; an inner text without backslash fails.
    EXPECT_EQ(ExpandPathMacrosWith(r, "<hklm\\Software\\Vendor\\Dir>", nullptr, 0), 0u);
    EXPECT_EQ(ExpandPathMacrosWith(r, "<HKLM>", nullptr, 0), 0u);
    EXPECT_EQ(ExpandPathMacrosWith(r, "<HKXX\\Software\\Vendor\\Dir>", nullptr, 0), 0u);
    // Raw data: the last byte is taken for the terminator.
    r.registry[{kHklm, "Software\\Vendor", "Raw"}] = {'a', 'b', 'c'};
    EXPECT_EQ(Expand(r, "<HKLM\\Software\\Vendor\\Raw>!"), "ab!");
    r.registry[{kHklm, "Software\\Vendor", "Empty"}] = {};
    EXPECT_EQ(ExpandPathMacrosWith(r, "<HKLM\\Software\\Vendor\\Empty>", nullptr, 0), 0u);
}

TEST(PathMacros, SmallBufferOnlyMeasures) {
    FakeResolver r;
    r.env["TEMP"] = "C:\\TMP";
    char buf[15];
    std::memset(buf, 'z', sizeof buf);
    // 15 characters need 16 with the terminator: nothing is written.
    EXPECT_EQ(ExpandPathMacrosWith(r, "%TEMP%\\VCAB.DLL", buf, sizeof buf), 15u);
    for (char c : buf) EXPECT_EQ(c, 'z');
    EXPECT_EQ(ExpandPathMacrosWith(r, "no macro", buf, 8), 8u);
    EXPECT_EQ(buf[0], 'z');
}

TEST(SystemPrefix, KnownPrefixes) {
    FakeResolver r;
    char out[261];
    EXPECT_EQ(ExpandSystemPrefixWith(r, "%SYSTEM%\\a.dll", out, sizeof out), 25u);
    EXPECT_STREQ(out, "C:\\WINDOWS\\system32\\a.dll");
    ExpandSystemPrefixWith(r, "%WinDir%\\b", out, sizeof out);
    EXPECT_STREQ(out, "C:\\WINDOWS\\b");
    ExpandSystemPrefixWith(r, "%windows%\\c", out, sizeof out);
    EXPECT_STREQ(out, "C:\\WINDOWS\\c");
    r.windowsDir = "C:\\";   // a root keeps its single backslash
    ExpandSystemPrefixWith(r, "%windir%\\d", out, sizeof out);
    EXPECT_STREQ(out, "C:\\d");
}

TEST(SystemPrefix, OtherTextsUnchanged) {
    FakeResolver r;
    r.env["TEMP"] = "C:\\TMP";
    char out[261];
    ExpandSystemPrefixWith(r, "%TEMP%\\x", out, sizeof out);
    EXPECT_STREQ(out, "%TEMP%\\x");
    ExpandSystemPrefixWith(r, "%system%x", out, sizeof out);   // no backslash after the name
    EXPECT_STREQ(out, "%system%x");
    r.systemDir.clear();   // no directory: the copy stays
    ExpandSystemPrefixWith(r, "%system%\\y", out, sizeof out);
    EXPECT_STREQ(out, "%system%\\y");
}

TEST(SystemPrefix, LengthLimits) {
    FakeResolver r;
    char out[261];
    std::string longText(261, 'a');
    EXPECT_EQ(ExpandSystemPrefixWith(r, longText.c_str(), out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    std::string exact(260, 'a');
    EXPECT_EQ(ExpandSystemPrefixWith(r, exact.c_str(), out, sizeof out), 260u);
    // "C:\WINDOWS\" is 11 characters: 249 after the 9-character prefix fit, 250 do not.
    std::string fits = "%windir%\\" + std::string(249, 'b');
    EXPECT_EQ(ExpandSystemPrefixWith(r, fits.c_str(), out, sizeof out), 260u);
    std::string over = "%windir%\\" + std::string(250, 'b');
    EXPECT_EQ(ExpandSystemPrefixWith(r, over.c_str(), out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

}  // namespace
