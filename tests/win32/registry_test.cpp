// The registry pass and the COM clean-up under Wine: the fix lists with
// their log lines and counter, every user's hive and the listed profiles,
// key trees behind a denying DACL, classes and values that name detected
// files, the unregister call, and the start-up value of a real silent run.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/environment.h"
#include "app/removal_run.h"
#include "fix/com_cleanup.h"
#include "fix/registry.h"
#include "procs/threats.h"
#include "ps/win32/system_functions.h"
#include "support/replace.h"
#include "support/run_setup.h"
#include "support/support.h"
#include "tests/samples/sample_factory_core.h"

namespace {

const std::string kTest = "Software\\QuorvinTest";
const std::string kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const ThreatRegistryDelete kNoDelete[] = {{nullptr, nullptr}};
const ThreatRegistryDword kNoDword[] = {{nullptr, nullptr, 0}};
const ThreatRegistryDwordReplace kNoReplace[] = {{nullptr, nullptr, 0, 0}};
const ThreatRegistryString kNoString[] = {{nullptr, nullptr, nullptr}};
const ThreatRegistryRestore kNoRestore[] = {{0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0}};
const char* const kNoKeys[] = {nullptr};

std::string Upper(std::string text) {
    CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::string Text(const std::vector<uint8_t>& data) { return std::string(data.begin(), data.end()); }

DWORD Dword(HKEY root, const std::string& key, const char* name) {
    DWORD type = 0;
    std::vector<uint8_t> data;
    if (!testsupport::GetRegValue(root, key, name, type, data) || data.size() != 4) return 0xDEADBEEF;
    DWORD value;
    std::memcpy(&value, data.data(), 4);
    return value;
}

std::vector<std::string> Users() { return testsupport::RegSubkeys(HKEY_USERS, ""); }

// String values of a key, {name, data} ("" names the default value); false when one could not be set.
bool SetStrings(HKEY root, const std::string& key, std::initializer_list<std::pair<const char*, std::string>> values,
                DWORD type = REG_SZ) {
    for (const auto& [name, data] : values)
        if (!testsupport::SetRegString(root, key, name, data, type)) return false;
    return true;
}
bool SetDwords(const std::string& key, std::initializer_list<std::pair<const char*, DWORD>> values) {
    for (const auto& [name, value] : values)
        if (!testsupport::SetRegDword(HKEY_LOCAL_MACHINE, key, name, value)) return false;
    return true;
}

// A removal run on the NT family with a test definition whose lists are empty.
class RegistryRun : public ::testing::Test {
protected:
    void SetUp() override {
        def = BuiltInDefinition();
        def.registryDeleteList = kNoDelete;
        def.registryDwordDeleteList = kNoDword;
        def.registryDwordSetList = kNoDword;
        def.registryDwordReplaceList = kNoReplace;
        def.registryStringSetList = kNoString;
        def.registryRestoreList = kNoRestore;
        def.clsidCleanupKeys = kNoKeys;
        def.valueDataCleanupKeys = kNoKeys;
        ASSERT_TRUE(testsupport::PrepareNtWalk(run));
    }
    void TearDown() override { DeleteKeyTree(HKEY_LOCAL_MACHINE, kTest.c_str()); }
    std::vector<std::string> Lines() const { return testsupport::Lines(sink.text); }
    // The pass again, with a fresh log and counter.
    void Pass() {
        sink.text.clear();
        run.stats = RemovalStats{};
        RunRegistryPass(run);
    }
    // A fresh start on the NT family (wide value functions) or on 9x (ANSI).
    void Platform(bool nt) {
        run.flags = RunFlags{};
        run.flags.isNtFamily = nt;
        run.flags.isWin9xFamily = !nt;
        run.flags.maxPathChars = nt ? kMaxPathCharsNt : kMaxPathChars9x;
        ASSERT_EQ(LoadApiTable(run.api, run.flags), 1);
        run.stats = RemovalStats{};
        sink.text.clear();
    }

    ThreatDefinition def{};
    RemovalRun run{def};
    testsupport::LogCapture sink{run.log};
};

TEST_F(RegistryRun, DeleteList) {
    const std::string key = kTest + "\\Del";
    ASSERT_TRUE(SetStrings(HKEY_LOCAL_MACHINE, key,
                           {{"Runonce", "rundll32.exe vcab.dll,Start"}, {"Keep", "x"}, {"", "default"}}));
    ASSERT_TRUE(SetStrings(HKEY_LOCAL_MACHINE, kTest + "\\First", {{"one", "1"}, {"two", "2"}}));
    ASSERT_TRUE(SetStrings(HKEY_LOCAL_MACHINE, kTest + "\\Tree\\A\\B\\C", {{"v", "1"}}));
    ASSERT_TRUE(SetStrings(HKEY_LOCAL_MACHINE, kTest + "\\Tree\\D", {{"v", "1"}}));
    const ThreatRegistryDelete list[] = {
        {"HKLM\\Software\\QuorvinTest\\Del", "Runonce"},
        {"HKLM\\Software\\QuorvinTest\\Del", "Runonce"},               // gone now: nothing
        {"hklm\\Software\\QuorvinTest\\Del", "Keep"},                  // no alias in lower case
        {"HKEY_LOCAL_MACHINE\\Software\\QuorvinTest\\Del", "@"},
        {"HKLM\\Software\\QuorvinTest\\First", "AllValues"},           // the first value only
        {"HKLM\\Software\\QuorvinTest\\Tree", ""},
        {"HKLM\\Software\\QuorvinTest\\Missing", "Runonce"},
        {nullptr, nullptr},
    };
    def.registryDeleteList = list;
    RunRegistryPass(run);
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "registry: HKLM\\Software\\QuorvinTest\\Del: Runonce (value deleted)",
                           "registry: HKEY_LOCAL_MACHINE\\Software\\QuorvinTest\\Del: (Default value was cleared)",
                           "registry: HKLM\\Software\\QuorvinTest\\First: AllValues (value deleted)",
                           "registry: HKLM\\Software\\QuorvinTest\\Tree (key deleted)",
                       }));
    EXPECT_EQ(run.stats.registryEntriesFixed, 4u);
    EXPECT_FALSE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, key, "Runonce"));
    EXPECT_FALSE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, key, ""));
    EXPECT_TRUE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, key, "Keep"));
    EXPECT_NE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, kTest + "\\First", "one"),
              testsupport::RegValueExists(HKEY_LOCAL_MACHINE, kTest + "\\First", "two"));
    EXPECT_FALSE(testsupport::RegKeyExists(HKEY_LOCAL_MACHINE, kTest + "\\Tree"));
}

TEST_F(RegistryRun, DwordLists) {
    const std::string key = kTest + "\\Dword";
    const char path[] = "HKLM\\Software\\QuorvinTest\\Dword";
    const std::string prefix = std::string("registry: ") + path;
    ASSERT_TRUE(SetDwords(key, {{"Del", 7}, {"DelOther", 8}, {"", 7}, {"Set", 1}, {"SetSame", 5}, {"Repl", 2},
                                {"ReplNew", 9}, {"ReplOther", 3}}));
    // "SetBinary": 3 bytes, any type is taken.
    ASSERT_TRUE(SetStrings(HKEY_LOCAL_MACHINE, key, {{"DelString", "7"}, {"SetBinary", "ab"}}));
    const ThreatRegistryDword deletes[] = {
        {path, "Del", 7}, {path, "DelOther", 7}, {path, "DelString", 7}, {path, "@", 7}, {nullptr, nullptr, 0}};
    const ThreatRegistryDword sets[] = {{path, "Set", 0xFFFFFFFFu}, {path, "SetSame", 5}, {path, "SetBinary", 16},
                                        {path, "SetMissing", 1}, {nullptr, nullptr, 0}};
    const ThreatRegistryDwordReplace replaces[] = {
        {path, "Repl", 2, 9}, {path, "ReplNew", 2, 9}, {path, "ReplOther", 2, 9}, {nullptr, nullptr, 0, 0}};
    def.registryDwordDeleteList = deletes;
    def.registryDwordSetList = sets;
    def.registryDwordReplaceList = replaces;
    RunRegistryPass(run);
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           prefix + ": Del (value deleted)",
                           prefix + ": (Default value was cleared)",
                           prefix + ": Set (value set to 0xFFFFFFFF (-1))",
                           prefix + ": SetBinary (value set to 0x00000010 (16))",
                           prefix + ": Repl (value set to 0x00000009 (9))",
                       }));
    EXPECT_EQ(run.stats.registryEntriesFixed, 5u);
    EXPECT_FALSE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, key, "Del"));
    EXPECT_EQ(Dword(HKEY_LOCAL_MACHINE, key, "DelOther"), 8u);
    EXPECT_TRUE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, key, "DelString"));
    EXPECT_EQ(Dword(HKEY_LOCAL_MACHINE, key, "Set"), 0xFFFFFFFFu);
    EXPECT_EQ(Dword(HKEY_LOCAL_MACHINE, key, "SetBinary"), 16u);
    EXPECT_FALSE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, key, "SetMissing"));
    EXPECT_EQ(Dword(HKEY_LOCAL_MACHINE, key, "Repl"), 9u);
    EXPECT_EQ(Dword(HKEY_LOCAL_MACHINE, key, "ReplOther"), 3u);
}

TEST_F(RegistryRun, StringSetList) {
    const std::string key = kTest + "\\Str";
    const char path[] = "HKLM\\Software\\QuorvinTest\\Str";
    ASSERT_TRUE(SetStrings(HKEY_LOCAL_MACHINE, key, {{"Shell", "explorer.exe vcab.exe"}, {"Same", "EXPLORER.EXE"}}));
    ASSERT_TRUE(testsupport::SetRegDword(HKEY_LOCAL_MACHINE, key, "", 1));
    const ThreatRegistryString list[] = {{path, "Shell", "Explorer.exe"}, {path, "Same", "explorer.exe"},
                                         {path, "@", "clean"}, {path, "Missing", "x"}, {nullptr, nullptr, nullptr}};
    def.registryStringSetList = list;
    RunRegistryPass(run);
    const std::string prefix = std::string("registry: ") + path;
    EXPECT_EQ(Lines(), (std::vector<std::string>{prefix + ": Shell (value set to \"Explorer.exe\")",
                                                 prefix + ": (Default) (value set to \"clean\")"}));
    DWORD type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(testsupport::GetRegValue(HKEY_LOCAL_MACHINE, key, "", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Text(data), std::string("clean", 6));
    EXPECT_FALSE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, key, "Missing"));
}

LONG WINAPI RefuseWrite(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }

TEST_F(RegistryRun, RestoreModes) {
    const std::string key = kTest + "\\Restore";
    const char path[] = "HKLM\\Software\\QuorvinTest\\Restore";
    const uint8_t bad[] = "EVIL.DLL";
    const uint8_t part[] = {'v', 'c', 'a', 'b'};
    const uint8_t good[] = "good.dll";
    struct Case {
        const char* what;
        uint32_t flags;
        const char* valueName;
        DWORD currentType;
        const char* current;
        const uint8_t* match;
        uint32_t matchLength;
        bool fixed;
    } cases[] = {
        // One case per mode; the host tests hold the whole table of the match.
        {"equal", 2, "V", REG_SZ, "EVIL.DLL", bad, sizeof bad, true},
        {"equal, other type", 2, "V", REG_EXPAND_SZ, "EVIL.DLL", bad, sizeof bad, false},
        {"equal ignoring case, default value", 0x102, "@", REG_SZ, "evil.dll", bad, sizeof bad, true},
        {"not equal, other type", 4, "V", REG_EXPAND_SZ, "EVIL.DLL", bad, sizeof bad, true},
        {"contains ignoring case", 0x101, "V", REG_SZ, "rundll32 x\\VCAB.dll,Start", part, sizeof part, true},
        {"does contain", 3, "V", REG_SZ, "x\\vcab.dll", part, sizeof part, false},
        {"unknown mode", 5, "V", REG_SZ, "EVIL.DLL", bad, sizeof bad, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, key.c_str());
        const char* name = std::strcmp(c.valueName, "@") == 0 ? "" : c.valueName;
        ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, key, name, c.current, c.currentType));
        const ThreatRegistryRestore list[] = {
            {c.flags, path, c.valueName, REG_SZ, c.match, c.matchLength, good, sizeof good},
            {2, path, c.valueName, REG_SZ, nullptr, 0, nullptr, 0},   // never used
            {0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0},
        };
        def.registryRestoreList = list;
        Pass();
        DWORD type = 0;
        std::vector<uint8_t> data;
        ASSERT_TRUE(testsupport::GetRegValue(HKEY_LOCAL_MACHINE, key, name, type, data));
        std::string field = *name ? name : "(Default)";
        if (c.fixed) {
            EXPECT_EQ(sink.text, std::string("registry: ") + path + ": " + field + " (restored)\r\n");
            EXPECT_EQ(Text(data), std::string(reinterpret_cast<const char*>(good), sizeof good));
            EXPECT_EQ(run.stats.registryEntriesFixed, 1u);
        } else {
            EXPECT_EQ(sink.text, "");
            EXPECT_EQ(Text(data), std::string(c.current) + '\0');
            EXPECT_EQ(run.stats.registryEntriesFixed, 0u);
        }
    }

    // A write the registry refuses is a warning, not a fix.
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, key, "V", "EVIL.DLL"));
    const ThreatRegistryRestore refused[] = {
        {2, path, "V", REG_SZ, bad, sizeof bad, good, sizeof good},
        {0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0},
    };
    def.registryRestoreList = refused;
    testsupport::ScopedBinding refusing(dyn_RegSetValueExA, RefuseWrite);
    Pass();
    EXPECT_EQ(sink.text, std::string("registry: ") + path + ": V (WARNING: could not be fixed)\r\n");
    EXPECT_EQ(run.stats.registryEntriesFixed, 0u);
}

// Per-user entries reach every user key; the listed profiles follow with
// "allvalues" read as a plain name.
TEST_F(RegistryRun, PerUserEntriesReachEveryUserKey) {
    const std::string key = kTest + "\\PerUser";
    std::vector<std::string> users = Users();
    ASSERT_GE(users.size(), 2u);
    for (const std::string& user : users)
        ASSERT_TRUE(testsupport::SetRegString(HKEY_USERS, user + "\\" + key, "Start", "vcab")) << user;
    // In the logged-on user's key (listed as a profile): a first value, and
    // one literally named "allvalues" for the profile sweep.
    // (Wine enumerates values by name: "a1" comes first.)
    ASSERT_TRUE(SetStrings(HKEY_CURRENT_USER, kTest + "\\Any", {{"a1", "1"}, {"allvalues", "2"}, {"third", "3"}}));
    const ThreatRegistryDelete list[] = {
        {"HKCU\\Software\\QuorvinTest\\PerUser", "Start"},
        {"HKEY_CURRENT_USER\\Software\\QuorvinTest\\Any", "allvalues"},
        {nullptr, nullptr},
    };
    def.registryDeleteList = list;
    RunRegistryPass(run);

    std::vector<std::string> expected;
    for (const std::string& user : users)
        expected.push_back("registry: HKEY_USERS\\" + user + "\\" + key + ": Start (value deleted)");
    std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), users.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + users.size()), expected);
    for (const std::string& user : users) EXPECT_FALSE(testsupport::RegValueExists(HKEY_USERS, user + "\\" + key, "Start"));
    // The first value went in the first visit, "allvalues" itself in the sweep.
    EXPECT_FALSE(testsupport::RegValueExists(HKEY_CURRENT_USER, kTest + "\\Any", "a1"));
    EXPECT_FALSE(testsupport::RegValueExists(HKEY_CURRENT_USER, kTest + "\\Any", "allvalues"));
    EXPECT_TRUE(testsupport::RegValueExists(HKEY_CURRENT_USER, kTest + "\\Any", "third"));
    EXPECT_EQ(testsupport::Count(sink.text, "\\Software\\QuorvinTest\\Any: allvalues (value deleted)\r\n"), 2u);
    EXPECT_EQ(run.stats.registryEntriesFixed, users.size() + 2);

    // On 9x there is no profile sweep: "allvalues" is only ever the first value.
    Platform(false);
    ASSERT_TRUE(SetStrings(HKEY_CURRENT_USER, kTest + "\\Any", {{"a1", "1"}, {"allvalues", "2"}}));
    std::string self;
    for (const std::string& user : users)
        if (testsupport::RegKeyExists(HKEY_USERS, user + "\\" + kTest + "\\Any")) self = user;
    RunRegistryPass(run);
    EXPECT_EQ(sink.text, "registry: HKEY_USERS\\" + self + "\\" + kTest + "\\Any: allvalues (value deleted)\r\n");
    EXPECT_FALSE(testsupport::RegValueExists(HKEY_CURRENT_USER, kTest + "\\Any", "a1"));
    EXPECT_TRUE(testsupport::RegValueExists(HKEY_CURRENT_USER, kTest + "\\Any", "allvalues"));
    DeleteKeyTree(HKEY_CURRENT_USER, kTest.c_str());
    for (const std::string& user : users) DeleteKeyTree(HKEY_USERS, (user + "\\" + kTest).c_str());
}

// What the pass sees of its loaded hives, just before it unloads them.
struct HiveView {
    std::vector<std::string> loaded;
    bool keyThere = false;
    bool valueThere = true;
} g_hive;
const char kProfile[] = "S-1-5-21-1111-2222-3333-1901";
const std::string kProfileList = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// Stands in for the pass's unload: at the first one every hive it loaded is
// still there.
LONG(WINAPI* g_unload)(HKEY, LPCSTR);
LONG WINAPI LookIntoHiveThenUnload(HKEY root, LPCSTR name) {
    if (g_hive.loaded.empty()) {
        std::string key = std::string(kProfile) + "\\" + kTest + "\\PerUser";
        g_hive.keyThere = testsupport::RegKeyExists(HKEY_USERS, key);
        g_hive.valueThere = testsupport::RegValueExists(HKEY_USERS, key, "Start");
    }
    g_hive.loaded.push_back(name);
    return g_unload(root, name);
}

// Saves a hive holding the per-user test value into `folder`\ntuser.dat and
// lists it as the profile `sid`.
void ListProfileHive(const std::string& sid, const std::string& folder) {
    CreateDirectoryA(folder.c_str(), nullptr);
    DeleteFileA((folder + "\\ntuser.dat").c_str());
    ASSERT_TRUE(EnablePrivilege("SeBackupPrivilege", true));
    const std::string staging = kTest + "\\Hive";
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, staging + "\\" + kTest + "\\PerUser", "Start", "vcab"));
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, staging.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
    ASSERT_EQ(RegSaveKeyA(k, (folder + "\\ntuser.dat").c_str(), nullptr), ERROR_SUCCESS);
    RegCloseKey(k);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, staging.c_str());
    std::string stored = "%SystemDrive%" + folder.substr(2);   // expanded by the pass
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, kProfileList + "\\" + sid, "ProfileImagePath", stored,
                                 REG_EXPAND_SZ));
}

// A profile listed by the system whose hive is not loaded: its file is
// loaded for the pass, fixed inside, and unloaded; Wine does not write the
// hive back to its file, so the fix is seen from the seam while it is loaded.
// A hive someone else loaded before the pass is fixed and left loaded.
TEST_F(RegistryRun, ProfileHiveIsLoadedFixedAndUnloaded) {
    const char kOther[] = "S-1-5-21-1111-2222-3333-1903";
    const char kNoPath[] = "S-1-5-21-1111-2222-3333-1902";
    ListProfileHive(kProfile, "C:\\users\\quorvinprofile");
    ListProfileHive(kOther, "C:\\users\\quorvinother");
    // A listed profile without its path is passed over.
    ASSERT_TRUE(testsupport::SetRegDword(HKEY_LOCAL_MACHINE, kProfileList + "\\" + kNoPath, "Flags", 0));
    ASSERT_TRUE(EnablePrivilege("SeRestorePrivilege", true));
    ASSERT_EQ(RegLoadKeyA(HKEY_USERS, kOther, "C:\\users\\quorvinother\\ntuser.dat"), ERROR_SUCCESS);
    const std::vector<std::string> usersBefore = Users();

    const ThreatRegistryDelete list[] = {{"HKCU\\Software\\QuorvinTest\\PerUser", "Start"}, {nullptr, nullptr}};
    def.registryDeleteList = list;
    {
        testsupport::ScopedBinding looking(dyn_RegUnLoadKeyA, LookIntoHiveThenUnload);
        g_unload = looking.original();
        RunRegistryPass(run);
    }

    EXPECT_EQ(g_hive.loaded, std::vector<std::string>{kProfile});
    EXPECT_TRUE(g_hive.keyThere);
    EXPECT_FALSE(g_hive.valueThere);
    const std::string tail = "\\" + kTest + "\\PerUser: Start (value deleted)";
    std::vector<std::string> lines = Lines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{std::string("registry: HKEY_USERS\\") + kProfile + tail,
                                               std::string("registry: HKEY_USERS\\") + kOther + tail}));
    EXPECT_FALSE(testsupport::RegKeyExists(HKEY_USERS, kProfile));
    EXPECT_EQ(Users(), usersBefore);
    EXPECT_FALSE(testsupport::RegValueExists(HKEY_USERS, std::string(kOther) + "\\" + kTest + "\\PerUser", "Start"));
    EXPECT_TRUE(testsupport::RegKeyExists(HKEY_CURRENT_USER, "Software"));
    RegUnLoadKeyA(HKEY_USERS, kOther);
    for (const char* sid : {kProfile, kOther, kNoPath})
        DeleteKeyTree(HKEY_LOCAL_MACHINE, (kProfileList + "\\" + sid).c_str());
}

// Replaces a key's DACL by an empty one: nobody is allowed anything, the
// owner (Administrators) may still write the DACL.
bool DenyAll(HKEY root, const std::string& key) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, WRITE_DAC, &k) != ERROR_SUCCESS) return false;
    ACL acl;
    SECURITY_DESCRIPTOR sd;
    bool ok = InitializeAcl(&acl, sizeof acl, ACL_REVISION) &&
              InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE) &&
              RegSetKeySecurity(k, DACL_SECURITY_INFORMATION, &sd) == ERROR_SUCCESS;
    RegCloseKey(k);
    return ok;
}

TEST_F(RegistryRun, DenyingKeysAreGrantedAndDeleted) {
    const std::string locked = kTest + "\\Locked";
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, locked + "\\Inner\\Deeper", "v", "1"));
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, locked + "\\Open", "v", "1"));
    ASSERT_TRUE(DenyAll(HKEY_LOCAL_MACHINE, locked + "\\Inner"));
    ASSERT_TRUE(DenyAll(HKEY_LOCAL_MACHINE, locked));
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, locked.c_str(), 0, DELETE | KEY_ENUMERATE_SUB_KEYS, &k),
              ERROR_ACCESS_DENIED);
    EXPECT_FALSE(GrantAdministratorsKeyAccess(HKEY_LOCAL_MACHINE, (kTest + "\\Missing").c_str()));

    const ThreatRegistryDelete list[] = {{"HKLM\\Software\\QuorvinTest\\Locked", ""}, {nullptr, nullptr}};
    def.registryDeleteList = list;
    RunRegistryPass(run);
    EXPECT_EQ(sink.text, "registry: HKLM\\Software\\QuorvinTest\\Locked (key deleted)\r\n");
    EXPECT_FALSE(testsupport::RegKeyExists(HKEY_LOCAL_MACHINE, locked));
}

// Gives the key another owner (SYSTEM): the owner's own right to write the
// DACL is then not the administrator's, and a DACL that refuses everybody
// stays in the way.
bool GiveToSystem(HKEY root, const std::string& key) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, WRITE_OWNER, &k) != ERROR_SUCCESS) return false;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr;
    SECURITY_DESCRIPTOR sd;
    bool ok = AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system) &&
              InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorOwner(&sd, system, FALSE) &&
              RegSetKeySecurity(k, OWNER_SECURITY_INFORMATION, &sd) == ERROR_SUCCESS;
    if (system) FreeSid(system);
    RegCloseKey(k);
    return ok;
}

// --- COM registrations -------------------------------------------------------

const char kInfectedClass[] = "{51A2B3C4-0000-4000-8000-00000000A001}";
const char kCleanClass[] = "{51A2B3C4-0000-4000-8000-00000000A002}";

class ComCleanup : public RegistryRun {
protected:
    void SetUp() override {
        RegistryRun::SetUp();
        dir = testsupport::NewWorkDir("com");
        server = dir + "\\Server.dll";
        clean = dir + "\\clean.dll";
        ASSERT_TRUE(testsupport::WriteBytes(server, {'M', 'Z'}));
        ASSERT_TRUE(testsupport::WriteBytes(clean, {'M', 'Z'}));
        Detect(true);
        Register(kInfectedClass, Upper(server));   // the detected file in other letters
        Register(kCleanClass, clean);
    }
    // The platform, and the server as the scan records it there.
    void Detect(bool nt) {
        Platform(nt);
        run.detectedFiles.RemoveAll();
        if (nt) run.detectedFiles.Add(testsupport::LongPath(server).c_str());
        else run.detectedFiles.Add(server.c_str());
    }
    void TearDown() override {
        DeleteKeyTree(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + kInfectedClass).c_str());
        DeleteKeyTree(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + kCleanClass).c_str());
        DeleteKeyTree(HKEY_CURRENT_USER, kTest.c_str());
        RegistryRun::TearDown();
    }
    static void Register(const char* clsid, const std::string& dll) {
        ASSERT_TRUE(testsupport::SetRegString(HKEY_CLASSES_ROOT, std::string("CLSID\\") + clsid + "\\InprocServer32", "", dll));
    }
    std::string dir, server, clean;
};

TEST_F(ComCleanup, ClassesOfDetectedServersGoWithTheirReferences) {
    for (bool nt : {true, false}) {
        SCOPED_TRACE(nt ? "NT family" : "9x");
        Detect(nt);
        Register(kInfectedClass, Upper(server));
        for (const char* clsid : {kInfectedClass, kCleanClass})
            ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, kTest + "\\Handlers\\" + clsid, "", "handler") &&
                        testsupport::SetRegString(HKEY_CURRENT_USER, kTest + "\\Approved", clsid, "approved"));
        ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, kTest + "\\Handlers\\NotAClass", "", "x"));
        // The per-user key holds the class as a subkey too: subkeys first, then values.
        ASSERT_TRUE(testsupport::SetRegString(HKEY_CURRENT_USER, kTest + "\\Approved\\" + kInfectedClass, "", "x"));
        ClassIdList found;
        CleanupClsidReferences(run, "HKLM\\Software\\QuorvinTest\\Handlers", found);
        CleanupClsidReferences(run, "HKCU\\Software\\QuorvinTest\\Approved", found);

        std::string user;
        for (const std::string& u : Users())
            if (testsupport::RegKeyExists(HKEY_USERS, u + "\\" + kTest + "\\Approved")) user = u;
        ASSERT_FALSE(user.empty());
        const std::string approved = "registry: HKEY_USERS\\" + user + "\\" + kTest + "\\Approved";
        EXPECT_EQ(Lines(), (std::vector<std::string>{
                               std::string("registry: HKEY_CLASSES_ROOT\\CLSID\\") + kInfectedClass + " (key deleted)",
                               std::string("registry: HKLM\\Software\\QuorvinTest\\Handlers\\") + kInfectedClass +
                                   " (key deleted)",
                               approved + "\\" + kInfectedClass + " (key deleted)",
                               approved + ": " + kInfectedClass + " (value deleted)",
                           }));
        EXPECT_EQ(run.stats.registryEntriesFixed, 4u);
        EXPECT_EQ(found, ClassIdList{kInfectedClass});
        EXPECT_FALSE(testsupport::RegKeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kInfectedClass));
        EXPECT_TRUE(testsupport::RegKeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kCleanClass));
        EXPECT_TRUE(testsupport::RegKeyExists(HKEY_LOCAL_MACHINE, kTest + "\\Handlers\\" + kCleanClass));
        EXPECT_TRUE(testsupport::RegKeyExists(HKEY_LOCAL_MACHINE, kTest + "\\Handlers\\NotAClass"));
        EXPECT_FALSE(testsupport::RegValueExists(HKEY_CURRENT_USER, kTest + "\\Approved", kInfectedClass));
        EXPECT_TRUE(testsupport::RegValueExists(HKEY_CURRENT_USER, kTest + "\\Approved", kCleanClass));
    }
}

LONG WINAPI RefuseDelete(HKEY, const wchar_t*) { return ERROR_ACCESS_DENIED; }
LONG WINAPI PretendDelete(HKEY, const wchar_t*) { return ERROR_SUCCESS; }

struct WalkCall {
    RemovalRun* run;
    ClassIdList found;
};
DWORD WINAPI CleanApproved(void* param) {
    auto* call = static_cast<WalkCall*>(param);
    CleanupClsidReferences(*call->run, "HKCU\\Software\\QuorvinTest\\Approved", call->found);
    return 0;
}

// A matched name that will not go, or that is still there after a deletion
// reported as done, is stepped over: the walk ends and the names after it
// are still examined.
TEST_F(ComCleanup, WalkEndsWhenAMatchCannotBeDeleted) {
    const char kLater[] = "{51A2B3C4-0000-4000-8000-00000000A003}";
    for (auto deleteValue : {RefuseDelete, PretendDelete}) {
        ASSERT_TRUE(
            SetStrings(HKEY_CURRENT_USER, kTest + "\\Approved", {{kInfectedClass, "approved"}, {kLater, "approved"}}));
        run.api.wide.RegDeleteValue = deleteValue;
        WalkCall call{&run, {kInfectedClass, kLater}};
        HANDLE thread = CreateThread(nullptr, 0, CleanApproved, &call, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        DWORD waited = WaitForSingleObject(thread, 20000);
        if (waited != WAIT_OBJECT_0) TerminateThread(thread, 1);
        CloseHandle(thread);
        ASSERT_EQ(waited, WAIT_OBJECT_0) << "the walk did not end";
        EXPECT_EQ(testsupport::Count(sink.text, kLater), deleteValue == PretendDelete ? 1u : 0u);
        EXPECT_TRUE(testsupport::RegValueExists(HKEY_CURRENT_USER, kTest + "\\Approved", kInfectedClass));
        sink.text.clear();
    }
}

// The classes key itself configured: deleting the class already removes the
// entry the walk stands on, so the walk reads that place again and reaches
// the next class, whichever step took the entry away.
TEST_F(ComCleanup, ConfiguredClassesKeyLosesEveryDetectedClass) {
    for (const char* configured : {"HKCR\\CLSID", "HKLM\\Software\\Classes\\CLSID"}) {
        SCOPED_TRACE(configured);
        Register(kInfectedClass, server);
        Register(kCleanClass, Upper(server));   // both served by the detected file
        sink.text.clear();
        run.stats = RemovalStats{};
        ClassIdList found;
        CleanupClsidReferences(run, configured, found);
        EXPECT_EQ(Lines(), (std::vector<std::string>{
                               std::string("registry: HKEY_CLASSES_ROOT\\CLSID\\") + kInfectedClass + " (key deleted)",
                               std::string("registry: HKEY_CLASSES_ROOT\\CLSID\\") + kCleanClass + " (key deleted)",
                           }));
        EXPECT_EQ(run.stats.registryEntriesFixed, 2u);
        EXPECT_EQ(found, (ClassIdList{kInfectedClass, kCleanClass}));
        EXPECT_FALSE(testsupport::RegKeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kCleanClass));
    }
}

TEST_F(ComCleanup, ValuesWhoseDataIsADetectedPath) {
    const std::string key = kTest + "\\Data";
    for (bool nt : {true, false}) {
        SCOPED_TRACE(nt ? "NT family" : "9x");
        Detect(nt);
        ASSERT_TRUE(SetStrings(HKEY_LOCAL_MACHINE, key,
                               {{"Exact", Upper(server)}, {"", server}, {"WithArguments", server + " /start"},
                                {"Empty", ""}, {"Also", server}}));
        ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, key, "Expand", server, REG_EXPAND_SZ));
        std::wstring wide = testsupport::Wide(server);
        const void* path = nt ? static_cast<const void*>(wide.c_str()) : server.c_str();
        DeleteValuesByData(run, "HKLM\\Software\\QuorvinTest\\Data", path);
        // (Wine enumerates values by name.)
        EXPECT_EQ(Lines(), (std::vector<std::string>{
                               "registry: HKLM\\Software\\QuorvinTest\\Data: (Default value deleted)",
                               "registry: HKLM\\Software\\QuorvinTest\\Data: Also (value deleted)",
                               "registry: HKLM\\Software\\QuorvinTest\\Data: Exact (value deleted)",
                           }));
        EXPECT_EQ(run.stats.registryEntriesFixed, 3u);
        for (const char* stays : {"WithArguments", "Expand", "Empty"})
            EXPECT_TRUE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, key, stays)) << stays;
    }
}

// Starting a program takes Wine about a second on an emulated CPU: the
// tests give the registration tool more than the program's five seconds.
constexpr DWORD kGenerousWaitMs = 60000;

TEST(ComServer, UnregisterCallsTheServersEntryPoint) {
    std::string dir = testsupport::NewWorkDir("regsvr");
    std::string dll = dir + "\\com server.dll";
    ASSERT_TRUE(CopyFileA((testsupport::BinDir() + "\\com_server.dll").c_str(), dll.c_str(), FALSE));
    EXPECT_TRUE(UnregisterComServer(dll.c_str(), kGenerousWaitMs));
    EXPECT_EQ(testsupport::ReadText(dir + "\\unregister.txt"), "unregister\r\n");
    // Not a COM server, not a library, not there, no path at all.
    EXPECT_FALSE(UnregisterComServer((testsupport::BinDir() + "\\file_holder.exe").c_str(), kGenerousWaitMs));
    ASSERT_TRUE(testsupport::WriteBytes(dir + "\\text.dll", {'h', 'i'}));
    EXPECT_FALSE(UnregisterComServer((dir + "\\text.dll").c_str(), kGenerousWaitMs));
    EXPECT_FALSE(UnregisterComServer((dir + "\\missing.dll").c_str(), kGenerousWaitMs));
    EXPECT_FALSE(UnregisterComServer("", kGenerousWaitMs));
}

// The whole run in this process with a definition that unregisters infected
// servers and cleans their classes: the scan detects an infected copy of the
// stand-in server, unregisters it, repairs it, and the follow-up removes its class.
TEST_F(ComCleanup, DetectedServerIsUnregisteredAndItsClassRemoved) {
    samples::Bytes dll = samples::ReadFileBytes(testsupport::BinDir() + "\\com_server.dll");
    // The infection appends its section at the end of the file: at a file
    // alignment boundary the loader still takes the result.
    dll.resize((dll.size() + 0x1FF) & ~size_t{0x1FF}, 0);
    samples::InfectOptions options;
    options.seed = 31;
    samples::Bytes infected = samples::MakeInfected(dll, options);
    ASSERT_FALSE(infected.empty());
    ASSERT_TRUE(testsupport::WriteBytes(server, infected));
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, kTest + "\\Handlers\\" + kInfectedClass, "", "handler"));
    const char* const keys[] = {"HKLM\\Software\\QuorvinTest\\Handlers", nullptr};
    def.clsidCleanupKeys = keys;
    def.unregisterInfectedServers = true;
    run.limits.unregisterWaitMs = kGenerousWaitMs;
    run.detectedFiles.RemoveAll();
    run.options = DefaultRunOptions(def);
    run.options.silentMode = true;
    run.options.noSilentReboot = true;
    run.options.onlyDirPath = dir;
    run.options.logPath = dir + "\\run.log";
    run.log.SetSink(nullptr);
    RunProgress progress;
    RunRemoval(run, progress);

    std::string log = testsupport::ReadText(dir + "\\run.log");
    EXPECT_NE(log.find(server + ": infected with W32.Quorvin!inf\r\nCOM Server: " + server + " (unregistered)\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(testsupport::ReadText(dir + "\\unregister.txt"), "unregister\r\n");
    EXPECT_EQ(testsupport::Count(log, std::string("registry: HKEY_CLASSES_ROOT\\CLSID\\") + kInfectedClass + " (key deleted)"),
              1u);
    EXPECT_EQ(testsupport::Count(log, std::string("registry: HKLM\\Software\\QuorvinTest\\Handlers\\") + kInfectedClass +
                                 " (key deleted)"),
              1u);
    EXPECT_TRUE(testsupport::RegKeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kCleanClass));
}

// --- The start-up value in a real silent run ------------------------------------

TEST(SilentRunRegistry, StartupValueIsRemovedWhenTheThreatWasFound) {
    const char kLine[] = "registry: HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run: Runonce (value deleted)";
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string threatFile = std::string(temp) + "VCAB.DLL";
    const std::string dir = testsupport::NewWorkDir("silent-registry");
    const std::string program = "\"" + testsupport::BinDir() + "\\FixQuorvin.exe\" /S /NOSILENTREBOOT /ONLYDIR=" + dir;
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, "Other", "other.exe"));
    struct Case {
        const char* what;
        bool threat;
        bool value;
        bool fixed;
        bool locked;   // the key's DACL refuses everybody
    } cases[] = {
        {"threat found, value present", true, true, true, false},
        {"threat found, value absent", true, false, false, false},
        {"no threat, value present", false, true, false, false},
        {"threat found, value behind a denying key", true, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(!c.threat || testsupport::WriteBytes(threatFile, samples::MakeThreatFile({})));
        ASSERT_TRUE(!c.value ||
                    testsupport::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, "Runonce", "rundll32.exe vcab.dll,Start"));
        ASSERT_TRUE(!c.locked || DenyAll(HKEY_LOCAL_MACHINE, kRunKey));
        testsupport::ProcessResult r = testsupport::Run(program, dir, 600000);
        ASSERT_TRUE(r.finished);
        std::string log = testsupport::ReadText(dir + "\\fixquorvin.log");
        EXPECT_EQ(testsupport::Count(log, kLine), c.fixed ? 1u : 0u) << log;
        EXPECT_EQ(testsupport::Count(log, std::string(kLine) + "\r\n\r\n"), c.fixed ? 1u : 0u);
        EXPECT_EQ(testsupport::Count(log, "registry: "), c.fixed ? 1u : 0u);
        if (c.threat) {
            EXPECT_EQ(testsupport::Count(log, std::string("The number of registry entries fixed: ") + (c.fixed ? "1" : "0") +
                                         "\r\n"),
                      1u);
        }
        EXPECT_EQ(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, "Runonce"), c.value && !c.fixed);
        EXPECT_TRUE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, "Other"));
    }

    // A key that keeps refusing (its owner is another) cannot be fixed: the
    // warning line, and no success headline over the value left in place.
    ASSERT_TRUE(testsupport::WriteBytes(threatFile, samples::MakeThreatFile({})));
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, "Runonce", "rundll32.exe vcab.dll,Start"));
    ASSERT_TRUE(GiveToSystem(HKEY_LOCAL_MACHINE, kRunKey) && DenyAll(HKEY_LOCAL_MACHINE, kRunKey));
    testsupport::ProcessResult r = testsupport::Run(program, dir, 600000);
    ASSERT_TRUE(r.finished);
    std::string log = testsupport::ReadText(dir + "\\fixquorvin.log");
    EXPECT_EQ(testsupport::Count(log, "registry: HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run: Runonce (WARNING: "
                             "could not be fixed)\r\n"),
              1u)
        << log;
    EXPECT_NE(log.find("The W32.Quorvin removal was unsuccessful.\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("successfully"), std::string::npos);
    EXPECT_NE(log.find("The number of registry entries fixed: 0\r\n"), std::string::npos);
}

}  // namespace
