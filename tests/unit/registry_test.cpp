// The computing half of the registry pass: alias resolution, key path
// limits, the restore match and the log lines the Wine tests do not reach.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fix/fix_lists_core.h"
#include "fix/registry_core.h"
#include "tests/support/log_capture.h"

namespace {

using namespace regcore;

TEST(RegistryCore, AliasesMatchByteForByteInTableOrder) {
    struct Case {
        const char* path;
        int row;
        const char* rest;
    } cases[] = {
        {"HKLM\\Software\\Run", 0, "Software\\Run"},
        {"HKEY_LOCAL_MACHINE\\Software", 1, "Software"},
        {"HKCR\\CLSID", 2, "CLSID"},
        {"HKCU\\Software", 4, "Software"},
        {"HKEY_CURRENT_USER\\", 5, ""},
        {"HKU\\.Default\\x", 6, ".Default\\x"},
        {"HKEY_USERS\\S-1", 7, "S-1"},
        {"hklm\\Software\\Run", -1, nullptr},   // case matters
        {"HKLM", -1, nullptr},                  // the backslash is part of the prefix
        {"HKCC\\System", -1, nullptr},
    };
    for (const Case& c : cases) {
        AliasMatch m = FindRootKeyAlias(RootKeyAliases, c.path);
        EXPECT_EQ(m.row, c.row) << c.path;
        if (c.rest) EXPECT_STREQ(m.rest, c.rest) << c.path;
        else EXPECT_EQ(m.alias, nullptr) << c.path;
    }
    EXPECT_TRUE(FindRootKeyAlias(RootKeyAliases, "HKCU\\x").alias->perUser);
    EXPECT_FALSE(FindRootKeyAlias(RootKeyAliases, "HKU\\x").alias->perUser);
    EXPECT_EQ(FindRootKeyAlias(RootKeyAliases, nullptr).row, -1);
}

TEST(RegistryCore, KeyPathsKeepWithinTheLimit) {
    std::string out;
    ASSERT_TRUE(JoinKeyPath("S-1-5", "Software\\Run", out));
    EXPECT_EQ(out, "S-1-5\\Software\\Run");
    std::string head(500, 'a'), tail(522, 'b');   // 500 + 1 + 522 + terminator = 1024
    EXPECT_TRUE(JoinKeyPath(head.c_str(), tail.c_str(), out));
    EXPECT_EQ(out.size(), 1023u);
    tail += 'b';
    EXPECT_FALSE(JoinKeyPath(head.c_str(), tail.c_str(), out));
    EXPECT_TRUE(out.empty());
}

ThreatRegistryRestore Entry(uint32_t flags, const char* match, uint32_t type = kRegSz) {
    return {flags, "HKLM\\K", "V", type, reinterpret_cast<const uint8_t*>(match),
            static_cast<uint32_t>(std::strlen(match)), nullptr, 0};
}

bool Wanted(const ThreatRegistryRestore& e, const char* data, uint32_t type = kRegSz) {
    return RestoreWanted(e, type, reinterpret_cast<const uint8_t*>(data), std::strlen(data));
}

TEST(RegistryCore, RestoreModes) {
    struct Case {
        uint32_t flags;
        const char* match;
        const char* data;
        uint32_t type;
        bool fix;
    } cases[] = {
        {2, "evil", "evil", kRegSz, true},
        {2, "evil", "EVIL", kRegSz, false},
        {0x102, "evil", "EVIL", kRegSz, true},
        {2, "evil", "evil!", kRegSz, false},          // equality needs the same length
        {2, "evil", "evil", kRegExpandSz, false},     // and the same type
        {4, "evil", "evil", kRegExpandSz, true},
        {4, "evil", "evil", kRegSz, false},
        {1, "vcab", "x\\vcab.dll", kRegSz, true},
        {1, "vcab", "vcab", kRegSz, true},            // at the very end
        {1, "vcab", "vca", kRegSz, false},            // data shorter than the pattern
        {1, "vcab", "x\\VCAB.dll", kRegSz, false},
        {0x101, "vcab", "x\\VCAB.dll", kRegSz, true},
        {0x101, "vcab", "x\\VCAB.dll", kRegDword, false},
        {3, "vcab", "x\\other.dll", kRegSz, true},
        {3, "vcab", "x\\vcab.dll", kRegSz, false},
        {3, "vcab", "x\\vcab.dll", kRegDword, true},  // another type never contains
        {0, "evil", "evil", kRegSz, false},
        {5, "evil", "evil", kRegSz, false},
        {0x10F, "evil", "evil", kRegSz, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Wanted(Entry(c.flags, c.match, kRegSz), c.data, c.type), c.fix)
            << "flags " << c.flags << " match " << c.match << " data " << c.data << " type " << c.type;
    // Case folding is ASCII only, as the C runtime's in the "C" locale.
    EXPECT_FALSE(Wanted(Entry(0x102, "\xE4"), "\xC4"));
}

// The lines the Wine tests do not reach: a negative number, the per-user
// restore, the warning's entry path, class references under HKEY_USERS.
TEST(RegistryCore, LogLines) {
    const std::string machine = LinePrefix(false, "Software\\Run", "HKLM\\Software\\Run");
    EXPECT_EQ(DwordSetLine(machine, "@", 0x80000000u),
              "registry: HKLM\\Software\\Run: (Default) (value set to 0x80000000 (-2147483648))");
    EXPECT_EQ(RestoredLine(true, "S-1\\K", "HKCU\\K", "V", false), "registry: HKEY_USERS\\S-1\\K: V (restored)");
    EXPECT_EQ(RestoreFailedLine("HKCU\\K", "@", true), "registry: HKCU\\K: (Default) (WARNING: could not be fixed)");
    EXPECT_EQ(ComKeyDeletedLine(true, "S-1\\K\\{X}", "HKU\\S-1\\K", "{X}"),
              "registry: HKEY_USERS\\S-1\\K\\{X} (key deleted)");
    EXPECT_EQ(ComValueDeletedLine(true, "S-1\\K", "HKU\\S-1\\K", "{X}"),
              "registry: HKEY_USERS\\S-1\\K: {X} (value deleted)");
}

// --- ForEachRegistryTarget over a registry in memory ----------------------------

// Keys by sub-path (any root), with their first value; a key may refuse access.
class MemoryStore : public regfix::RegistryStore {
public:
    struct Key : regfix::RegistryKey {
        std::string first;
        bool refuses = false;
        bool FirstValueName(std::string& name) override { return !(name = first).empty(); }
        bool Read(const char*, uint32_t&, std::vector<uint8_t>&) override { return false; }
        bool Write(const char*, uint32_t, const uint8_t*, size_t) override { return false; }
        bool DeleteValue(const char*) override { return false; }
    };
    std::vector<std::string> UserKeys() override { return {"S-1", ".DEFAULT"}; }
    std::vector<std::string> SweepKeys() override { return {"S-1"}; }
    std::unique_ptr<regfix::RegistryKey> Open(uintptr_t, const std::string& subPath) override {
        auto at = keys.find(subPath);
        m_refused = at != keys.end() && at->second.refuses;
        return at == keys.end() || m_refused ? nullptr : std::make_unique<Key>(at->second);
    }
    bool LastOpenRefused() const override { return m_refused; }
    bool DeleteKeyTree(uintptr_t, const std::string&) override { return false; }
    std::map<std::string, Key> keys;

private:
    bool m_refused = false;
};

// The targets the action is given, as "row sub-path [value name]" (no
// brackets without an open key).
std::string g_seen;
bool Record(regfix::FixOutput&, const regfix::RegistryTarget& t, const void*) {
    g_seen += std::to_string(t.aliasRow) + " " + t.subPath + (t.key ? " [" + std::string(t.valueName) + "]" : "") + ";";
    return true;
}

TEST(ForEachRegistryTarget, EveryUserKeyThenTheSweptProfilesAndOneWarningForARefusal) {
    MemoryStore store;
    store.keys["Run"].first = "first";
    store.keys["S-1\\Run"].first = "a1";
    store.keys[".DEFAULT\\Run"].first = "";   // no value: no first one
    store.keys["Locked"].refuses = store.keys["S-1\\Locked"].refuses = store.keys[".DEFAULT\\Locked"].refuses = true;
    ThreatDefinition def{};
    def.rootKeyAliases = RootKeyAliases;
    struct Case {
        const char* path;
        const char* valueName;
        const char* seen;
        const char* log;
    } cases[] = {
        {"HKEY_LOCAL_MACHINE\\Run", "@", "1 Run [];", ""},
        {"HKLM\\Run", "AllValues", "0 Run [first];", ""},
        {"HKLM\\Run", "", "0 Run;", ""},                    // the key itself: none opened
        {"HKCU\\Run", "allvalues", "4 S-1\\Run [a1];4 S-1\\Run [allvalues];", ""},
        {"HKCU\\Run", "x", "4 S-1\\Run [x];4 .DEFAULT\\Run [x];4 S-1\\Run [x];", ""},
        {"HKLM\\Missing", "x", "", ""},
        {"HKLM\\Locked", "Runonce", "", "registry: HKLM\\Locked: Runonce (WARNING: could not be fixed)\r\n"},
        {"HKCU\\Locked", "@", "", "registry: HKCU\\Locked: (Default) (WARNING: could not be fixed)\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.valueName);
        RunLog log;
        testsupport::LogCapture sink(log);
        uint32_t fixed = 0, notFixed = 0;
        regfix::FixOutput out{log, fixed, &notFixed};
        g_seen.clear();
        EXPECT_EQ(regfix::ForEachRegistryTarget(def, store, out, c.path, c.valueName, Record, nullptr), *c.seen != 0);
        EXPECT_EQ(g_seen, c.seen);
        EXPECT_EQ(sink.text, c.log);
        EXPECT_EQ(notFixed, *c.log ? 1u : 0u);
    }
}

}  // namespace
