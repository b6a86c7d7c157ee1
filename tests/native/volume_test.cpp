// An offline Windows volume with hives made by the test: the listed threat
// file in a profile's TEMP, the start-up value in SOFTWARE and in a user's
// NTUSER.DAT, fixed with the Windows program's lines; hivex reads the hives
// back cleanly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/support/hive_builder.h"
#include "linux/tree_scan.h"
#include "linux/windows_volume.h"
#include "tests/support/native_support.h"
#include "tests/support/log_capture.h"

namespace {

using nt::Count;

const char kSid[] = "S-1-5-21-1004336348-1177238915-682003330-1003";
const char kRun[] = "Microsoft\\Windows\\CurrentVersion\\Run";

struct Volume {
    nt::TempTree tree;
    std::string software, user, vcab, program;

    Volume() {
        const std::string& root = tree.path();
        // Path components in the cases a real volume has them.
        software = root + "/WINDOWS/system32/config/SOFTWARE";
        user = root + "/Documents and Settings/alice/NTUSER.DAT";
        vcab = root + "/Documents and Settings/alice/Local Settings/Temp/VCAB.DLL";
        program = root + "/Program Files/App/app.exe";
        const std::string list = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
        EXPECT_TRUE(ht::WriteHive(
            software,
            {{"Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", "C:\\WINDOWS"},
             {list + kSid, "ProfileImagePath", "%SystemDrive%\\Documents and Settings\\alice", hive_t_REG_EXPAND_SZ},
             // A profile without a hive on the volume is passed over.
             {list + "S-1-5-18", "ProfileImagePath", "%systemroot%\\system32\\config\\systemprofile", hive_t_REG_EXPAND_SZ},
             {kRun, "Runonce", "rundll32.exe C:\\DOCUME~1\\alice\\LOCALS~1\\Temp\\vcab.dll,Start"},
             {kRun, "Other", "C:\\Program Files\\App\\app.exe"}}));
        const std::string run = std::string("Software\\") + kRun;
        EXPECT_TRUE(ht::WriteHive(user, {{"Environment", "TEMP", "%USERPROFILE%\\Local Settings\\Temp", hive_t_REG_EXPAND_SZ},
                                         {run, "Runonce", "vcab"},
                                         {run, "Other", "keep"},
                                         {"Software\\Policies", "NoRun", 0u}}));
        EXPECT_TRUE(nt::WriteBytes(vcab, samples::MakeThreatFile({.build = 1})));
        EXPECT_TRUE(nt::WriteBytes(program, samples::MakeInfected(samples::MakeCleanHost({.seed = 80}), {.seed = 81})));
    }
};

// A dry run (the volume named, a folder of it scanned) leaves the hives and
// files; the real run (the volume found) removes the file and the value.
TEST(WindowsVolume, DryRunThenListedFileAndStartupValueRemoved) {
    Volume v;
    ASSERT_TRUE(native::IsWindowsVolume(v.tree.path()));
    const auto before = nt::Snapshot(v.tree.path());
    nt::ProgramRun dry = nt::RunProgram({"--dry-run", "--windows-root=" + v.tree.path(), v.tree / "Program Files"});
    EXPECT_EQ(dry.exitCode, 1) << dry.output;
    EXPECT_EQ(Count(dry.output, v.vcab + ": (dry run) would be deleted\n"), 1u) << dry.output;
    EXPECT_EQ(Count(dry.output, "Run: Runonce (dry run) would be deleted\n"), 1u) << dry.output;
    EXPECT_EQ(Count(dry.output, "(value deleted)"), 0u) << dry.output;
    // The whole volume: the walk meets the listed file as well; it is named
    // and counted once, as the real run deletes it once.
    dry = nt::RunProgram({"-n", v.tree.path()});
    EXPECT_EQ(Count(dry.output, v.vcab + ": "), 2u) << dry.output;   // "infected with", "would be deleted"
    EXPECT_EQ(Count(dry.output, v.vcab + ": (dry run) would be deleted\n"), 1u) << dry.output;
    EXPECT_EQ(Count(dry.output, "(would be) deleted threat files: 1\n"), 1u) << dry.output;
    EXPECT_EQ(nt::Snapshot(v.tree.path()), before);

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
    EXPECT_EQ(Count(run.output, "The number of deleted threat files: 1\n"), 1u);
    EXPECT_EQ(ht::ValueNames(v.software, kRun), std::vector<std::string>{"Other"});
    // The per-user value is not on this build's lists: the user's hive is untouched.
    EXPECT_EQ(ht::ValueNames(v.user, std::string("Software\\") + kRun), (std::vector<std::string>{"Runonce", "Other"}));
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
    testsupport::LogCapture capture(log);
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
    EXPECT_EQ(ht::ValueNames(v.user, std::string("Software\\") + kRun), std::vector<std::string>{"Other"});
    EXPECT_EQ(ht::ValueNames(v.software, kRun), (std::vector<std::string>{"Runonce", "Other"}));
}

// A SOFTWARE or NTUSER.DAT that is no hive hivex can read is named, never
// blocks the run, and the report is not a success; the files are still
// cleaned.
TEST(WindowsVolume, AHiveThatCannotBeOpenedIsNeverASuccess) {
    const struct {
        const char* kind;
        std::function<void(samples::Bytes&)> damage;   // none: the hive is replaced by a node of this type
        mode_t node = 0;
        bool user = false;   // NTUSER.DAT rather than SOFTWARE
    } cases[] = {
        {"garbage", [](samples::Bytes& h) { for (size_t i = 0; i < h.size(); ++i) h[i] = uint8_t(i * 7919 >> 3); }},
        {"truncated", [](samples::Bytes& h) { h.resize(0x1000 + 0x40); }},
        {"empty", [](samples::Bytes& h) { h.clear(); }},
        {"bad checksum", [](samples::Bytes& h) { h[0x1FC] ^= 0x5A; }},
        {"bad root offset", [](samples::Bytes& h) {
             samples::PutU32(h, 0x24, 0x7FFFFF00);
             uint32_t sum = 0;   // (a consistent header around it)
             for (size_t i = 0; i < 0x1FC; i += 4) sum ^= samples::GetU32(h, i);
             samples::PutU32(h, 0x1FC, sum);
         }},
        {"bin size", [](samples::Bytes& h) { samples::PutU32(h, 0x1008, 0x7FFFF000); }},
        {"folder", nullptr, S_IFDIR},
        {"fifo", nullptr, S_IFIFO},
        {"user fifo", nullptr, S_IFIFO, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        Volume v;
        const std::string& hive = c.user ? v.user : v.software;
        samples::Bytes content = nt::ReadBytes(hive);
        if (c.damage) c.damage(content);
        ASSERT_TRUE(c.damage ? nt::WriteBytes(hive, content)
                             : nt::fs::remove(hive) && (c.node == S_IFDIR ? ::mkdir(hive.c_str(), 0755)
                                                                          : ::mkfifo(hive.c_str(), 0600)) == 0);
        nt::ProgramRun run = nt::RunProgram({v.tree.path()}, {.seconds = 10});
        EXPECT_EQ(run.exitCode, 3) << run.output;
        EXPECT_EQ(Count(run.output, hive + ": (WARNING: the hive could not be opened)\n"), 1u) << run.output;
        EXPECT_EQ(Count(run.output, "The W32.Quorvin removal was unsuccessful.\n"), 1u) << run.output;
        EXPECT_EQ(Count(run.output, "The number of registry hives that could not be opened: 1\n"), 1u) << run.output;
        EXPECT_EQ(Count(run.output, "successfully removed"), 0u) << run.output;
        EXPECT_EQ(Count(run.output, v.program + ": File repaired.\n"), 1u) << run.output;
    }
}

// Clears the immutable flag it was given, so that the volume can be removed.
struct Immutable {
    std::string path;
    ~Immutable() {
        if (!path.empty() && std::system(("chattr -i '" + path + "'").c_str()) != 0) ADD_FAILURE() << path;
    }
};

// A hive that is fixed in memory but cannot be written (a link to a hive
// outside the volume, an immutable file): its lines say nothing was
// changed, nothing is counted and the removal is unsuccessful.
TEST(WindowsVolume, AHiveThatCannotBeWrittenIsNotCountedAsFixed) {
    for (const bool immutable : {false, true}) {
        SCOPED_TRACE(immutable ? "immutable" : "link outside");
        Volume v;
        nt::TempTree outside;
        std::string software = v.software;
        Immutable flag;
        if (immutable) {
            if (std::system(("chattr +i '" + software + "' 2>/dev/null").c_str()) != 0)
                GTEST_SKIP() << "the immutable flag cannot be set here";
            flag.path = software;
        } else {
            software = outside / "SOFTWARE";
            nt::fs::rename(v.software, software);
            ASSERT_EQ(::symlink(software.c_str(), v.software.c_str()), 0);
        }
        const samples::Bytes before = nt::ReadBytes(software);
        nt::ProgramRun run = nt::RunProgram({v.tree.path()});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_EQ(Count(run.output, "(value deleted)"), 0u) << run.output;
        EXPECT_EQ(Count(run.output, "registry: HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run: Runonce "
                                    "(WARNING: not deleted, the hive could not be written)\n"),
                  1u)
            << run.output;
        EXPECT_EQ(Count(run.output, v.software + ": (WARNING: the hive could not be written)\n"), 1u) << run.output;
        EXPECT_EQ(Count(run.output, "The number of registry entries fixed: 0\n"), 1u) << run.output;
        EXPECT_EQ(Count(run.output, "The number of registry hives that could not be written: 1\n"), 1u) << run.output;
        EXPECT_EQ(Count(run.output, "The W32.Quorvin removal was unsuccessful.\n"), 1u) << run.output;
        EXPECT_EQ(nt::ReadBytes(software), before);   // the value is still there
    }
}

}  // namespace
