// An offline Windows volume with hives made by the test: the listed threat
// file in a profile's TEMP, the start-up value in SOFTWARE and in a user's
// NTUSER.DAT, fixed with the Windows program's lines; hivex reads the hives
// back cleanly.
#include <gtest/gtest.h>

#include "hive_builder.h"
#include "linux/tree_scan.h"
#include "linux/windows_volume.h"
#include "native_support.h"
#include "tests/unit/log_capture.h"

namespace {

using nt::Count;

const char kSid[] = "S-1-5-21-1004336348-1177238915-682003330-1003";
const char kRun[] = "Microsoft\\Windows\\CurrentVersion\\Run";

struct Volume {
    nt::TempTree tree;
    std::string software, user, vcab, program;
    samples::Bytes infected;

    Volume() {
        const std::string& root = tree.path();
        // Path components in the cases a real volume has them.
        software = root + "/WINDOWS/system32/config/SOFTWARE";
        user = root + "/Documents and Settings/alice/NTUSER.DAT";
        vcab = root + "/Documents and Settings/alice/Local Settings/Temp/VCAB.DLL";
        program = root + "/Program Files/App/app.exe";
        nt::fs::create_directories(nt::fs::path(software).parent_path());
        nt::fs::create_directories(nt::fs::path(user).parent_path());
        {
            ht::HiveWriter w(software);
            EXPECT_TRUE(w.ok());
            w.SetText("Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", "C:\\WINDOWS");
            const std::string list = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
            w.SetText(list + kSid, "ProfileImagePath", "%SystemDrive%\\Documents and Settings\\alice",
                      hive_t_REG_EXPAND_SZ);
            // A profile without a hive on the volume is passed over.
            w.SetText(list + "S-1-5-18", "ProfileImagePath", "%systemroot%\\system32\\config\\systemprofile",
                      hive_t_REG_EXPAND_SZ);
            w.SetText(kRun, "Runonce", "rundll32.exe C:\\DOCUME~1\\alice\\LOCALS~1\\Temp\\vcab.dll,Start");
            w.SetText(kRun, "Other", "C:\\Program Files\\App\\app.exe");
            EXPECT_TRUE(w.Commit());
        }
        {
            ht::HiveWriter w(user);
            EXPECT_TRUE(w.ok());
            w.SetText("Environment", "TEMP", "%USERPROFILE%\\Local Settings\\Temp", hive_t_REG_EXPAND_SZ);
            w.SetText(std::string("Software\\") + kRun, "Runonce", "vcab");
            w.SetText(std::string("Software\\") + kRun, "Other", "keep");
            w.Set("Software\\Policies", "NoRun", hive_t_REG_DWORD, {0, 0, 0, 0});
            EXPECT_TRUE(w.Commit());
        }
        EXPECT_TRUE(nt::WriteBytes(vcab, samples::MakeThreatFile({.build = 1})));
        infected = samples::MakeInfected(samples::MakeCleanHost({.seed = 80}), {.seed = 81});
        EXPECT_TRUE(nt::WriteBytes(program, infected));
    }

    // The value names of a key, read back through a fresh hivex handle.
    static std::vector<std::string> Values(const std::string& hive, const std::string& key) {
        std::vector<std::string> names;
        hive_h* h = hivex_open(hive.c_str(), 0);
        if (!h) return {"(hive does not open)"};
        hive_node_h node = hivex_root(h);
        size_t at = 0;
        while (node && at < key.size()) {
            size_t end = key.find('\\', at);
            if (end == std::string::npos) end = key.size();
            node = hivex_node_get_child(h, node, key.substr(at, end - at).c_str());
            at = end + 1;
        }
        if (hive_value_h* values = node ? hivex_node_values(h, node) : nullptr) {
            for (hive_value_h* v = values; *v; ++v) {
                char* name = hivex_value_key(h, *v);
                names.push_back(name);
                std::free(name);
            }
            std::free(values);
        }
        hivex_close(h);
        return names;
    }
};

TEST(WindowsVolume, ListedFileAndStartupValueAreRemoved) {
    Volume v;
    ASSERT_TRUE(native::IsWindowsVolume(v.tree.path()));
    nt::ProgramRun run = nt::RunProgram({v.tree.path()});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_EQ(Count(run.output, v.program + ": File repaired.\n"), 1u) << run.output;
    EXPECT_EQ(Count(run.output, v.vcab + ": (deleted)\n"), 1u) << run.output;
    EXPECT_FALSE(nt::fs::exists(v.vcab));
    EXPECT_EQ(Count(run.output,
                    "registry: HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run: Runonce (value deleted)\n"),
              1u)
        << run.output;
    EXPECT_EQ(Count(run.output, "The number of registry entries fixed: 1\n"), 1u);
    EXPECT_EQ(Volume::Values(v.software, kRun), std::vector<std::string>{"Other"});
    // The per-user value is not on this build's lists: the user's hive is untouched.
    EXPECT_EQ(Volume::Values(v.user, std::string("Software\\") + kRun), (std::vector<std::string>{"Runonce", "Other"}));
    EXPECT_TRUE(nt::fs::exists(v.user));
}

TEST(WindowsVolume, PerUserEntriesReachEveryProfileHive) {
    Volume v;
    const ThreatRegistryDelete perUser[] = {
        {"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Runonce"},
        {"HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Runonce"},   // gone by then
        {"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Missing"},
        {nullptr, nullptr},
    };
    // A string that does not fit in four bytes is not set.
    const ThreatRegistryDword setDword[] = {{"HKCU\\Software\\Policies", "NoRun", 7}, {"HKCU\\Environment", "TEMP", 7},
                                            {nullptr, nullptr, 0}};
    ThreatDefinition def = BuiltInDefinition();
    def.registryDeleteList = perUser;
    def.registryDwordSetList = setDword;
    RunLog log;
    qt::LogCapture capture(log);
    native::TreeScanner scanner(def, {}, log);
    ASSERT_TRUE(scanner.ScanTree(v.program));   // a find: the registry lists run
    native::CleanWindowsVolume(v.tree.path(), def, scanner, log);

    const std::string user = std::string("registry: HKEY_USERS\\") + kSid;
    EXPECT_EQ(Count(capture.text, user + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run: Runonce (value deleted)\r\n"),
              1u)
        << capture.text;
    EXPECT_EQ(Count(capture.text, user + "\\Software\\Policies: NoRun (value set to 0x00000007 (7))\r\n"), 1u) << capture.text;
    EXPECT_EQ(Count(capture.text, "registry: "), 2u) << capture.text;
    EXPECT_EQ(scanner.stats.registryEntriesFixed, 2u);
    EXPECT_EQ(Volume::Values(v.user, std::string("Software\\") + kRun), std::vector<std::string>{"Other"});
    EXPECT_EQ(Volume::Values(v.software, kRun), (std::vector<std::string>{"Runonce", "Other"}));
}

TEST(WindowsVolume, DryRunLeavesTheHivesAndFiles) {
    Volume v;
    const auto before = nt::Snapshot(v.tree.path());
    nt::ProgramRun run = nt::RunProgram({"--dry-run", "--windows-root=" + v.tree.path(), v.tree / "Program Files"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_EQ(Count(run.output, v.vcab + ": (dry run) would be deleted\n"), 1u) << run.output;
    EXPECT_EQ(Count(run.output, "Run: Runonce (value deleted)\n"), 1u) << run.output;
    EXPECT_EQ(nt::Snapshot(v.tree.path()), before);
}

}  // namespace
