// /QUARANTINE= through FixQuorvin.exe under Wine: before a repair or a
// deletion the original goes to the quarantine folder in the native
// scanner's entry form (bytes, attributes and times, its hash and that of
// the repaired file); the folder itself is never scanned, and a folder that
// holds other files is not used: nothing is changed then.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "repair_support.h"
#include "scan/quarantine_core.h"
#include "support/support.h"
#include "tests/samples/sample_factory_core.h"

namespace {

using rt::Bytes;

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c -= 32;
    return s;
}

std::string RunTool(const std::string& switches) {
    std::string dir = qt::NewWorkDir("run");
    qt::ProcessResult r = qt::Run("\"" + qt::BinDir() + "\\FixQuorvin.exe\" /S /NOSILENTREBOOT " + switches, dir, 600000);
    EXPECT_TRUE(r.finished);
    return qt::ReadText(dir + "\\fixquorvin.log");
}

// The entries of a quarantine folder by the path they record, with their bytes decoded.
std::map<std::string, std::pair<quarantine::Record, Bytes>> Entries(const std::string& q) {
    std::map<std::string, std::pair<quarantine::Record, Bytes>> out;
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((q + "\\*.info").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
        quarantine::Record r;
        std::string name = e.cFileName;
        EXPECT_EQ(quarantine::ParseRecord(qt::ReadText(q + "\\" + name), r), quarantine::ParseOutcome::Ok) << name;
        Bytes data = qt::ReadBytes(q + "\\" + name.substr(0, 8) + ".data");
        for (uint8_t& b : data) b = quarantine::EncodeByte(b);
        out[r.path] = {r, data};
    } while (FindNextFileA(h, &e));
    FindClose(h);
    return out;
}

TEST(Quarantine, KeepsEveryOriginalInTheNativeForm) {
    const std::string dir = qt::NewWorkDir("tree"), q = dir + "\\q";
    const Bytes host = samples::MakeCleanHost({.seed = 40});
    const Bytes infected = samples::MakeInfected(host, {.seed = 41}), threat = samples::MakeThreatFile({.build = 1});
    ASSERT_TRUE(qt::WriteBytes(dir + "\\a.exe", infected));
    ASSERT_TRUE(qt::WriteBytes(dir + "\\b.dll", threat));
    ASSERT_TRUE(qt::WriteBytes(dir + "\\clean.exe", host));
    SetFileAttributesA((dir + "\\a.exe").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);

    std::string log = RunTool("/ONLYDIR=" + dir + " /QUARANTINE=" + q);
    const std::string shown = Upper(dir);
    EXPECT_EQ(qt::Count(log, shown + "\\A.EXE: File repaired.\r\n") + qt::Count(log, shown + "\\a.exe: File repaired.\r\n"),
              1u)
        << log;
    EXPECT_FALSE(qt::FileExists(dir + "\\b.dll"));
    EXPECT_TRUE(qt::FileExists(q + "\\fixquorvin-quarantine.txt"));

    auto entries = Entries(q);
    ASSERT_EQ(entries.size(), 2u) << log;
    for (auto& [path, entry] : entries) {
        const quarantine::Record& r = entry.first;
        const bool repaired = r.action == "repaired";
        SCOPED_TRACE(path);
        EXPECT_EQ(entry.second, repaired ? infected : threat);
        EXPECT_EQ(r.sha256, quarantine::Sha256Hex(entry.second.data(), entry.second.size()));
        EXPECT_TRUE(r.hasAttributes && r.hasTimes);
        if (repaired) {
            const Bytes now = qt::ReadBytes(dir + "\\a.exe");
            EXPECT_EQ(r.left, quarantine::Sha256Hex(now.data(), now.size()));
            EXPECT_EQ(r.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
                      DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
        } else {
            EXPECT_EQ(r.action, "deleted");
        }
    }

    // A later run over the same tree leaves the quarantine alone and says so.
    ASSERT_TRUE(qt::WriteBytes(dir + "\\c.exe", infected));
    log = RunTool("/ONLYDIR=" + dir);
    EXPECT_EQ(qt::Count(log, "directory " + shown + "\\Q: (skipped, a quarantine folder of fixquorvin)\r\n"), 1u) << log;
    EXPECT_EQ(qt::Count(log, "infected with"), 1u) << log;

    // /RESTORE= puts both back: bytes and attributes as before the run.
    log = RunTool("/RESTORE=" + q);
    EXPECT_EQ(qt::Count(log, ": (restored)\r\n"), 2u) << log;
    EXPECT_EQ(qt::Count(log, "The restore from the quarantine was successful"), 1u) << log;
    EXPECT_EQ(qt::Count(log, "infected with"), 0u);
    EXPECT_EQ(qt::ReadBytes(dir + "\\a.exe"), infected);
    EXPECT_EQ(qt::ReadBytes(dir + "\\b.dll"), threat);
    EXPECT_EQ(GetFileAttributesA((dir + "\\a.exe").c_str()) & FILE_ATTRIBUTE_HIDDEN, DWORD(FILE_ATTRIBUTE_HIDDEN));

    // Removed again; a repaired file changed since is refused without /FORCE.
    RunTool("/ONLYDIR=" + dir + " /QUARANTINE=" + q);
    ASSERT_TRUE(qt::WriteBytes(dir + "\\a.exe", {'m', 'i', 'n', 'e'}));
    log = RunTool("/RESTORE=" + q);
    EXPECT_EQ(qt::Count(log, ": (WARNING: not restored, the file changed since the run; /FORCE restores it anyway)\r\n"), 1u)
        << log;
    EXPECT_EQ(qt::Count(log, "The number of the files refused: 1\r\n"), 1u) << log;
    EXPECT_EQ(qt::ReadBytes(dir + "\\a.exe"), Bytes({'m', 'i', 'n', 'e'}));
    EXPECT_EQ(qt::ReadBytes(dir + "\\b.dll"), threat);
    log = RunTool("/RESTORE=" + q + " /FORCE");
    EXPECT_EQ(qt::Count(log, ": (restored over a file changed since the run, /FORCE)\r\n"), 1u) << log;
    EXPECT_EQ(qt::ReadBytes(dir + "\\a.exe"), infected);
    qt::WriteBytes(qt::OutDir() + "\\restore.log", Bytes(log.begin(), log.end()));
}

TEST(Quarantine, AFolderOfOtherFilesIsNotUsed) {
    const std::string dir = qt::NewWorkDir("tree"), other = qt::NewWorkDir("other");
    const Bytes infected = samples::MakeInfected(samples::MakeCleanHost({.seed = 50}), {.seed = 51});
    ASSERT_TRUE(qt::WriteBytes(dir + "\\a.exe", infected));
    ASSERT_TRUE(qt::WriteBytes(other + "\\keep.txt", {'k'}));
    std::string log = RunTool("/ONLYDIR=" + dir + " /QUARANTINE=" + other);
    EXPECT_EQ(qt::Count(log, "(it holds other files): no file is changed\r\n"), 1u) << log;
    EXPECT_EQ(qt::Count(log, ": (WARNING: not changed, the quarantine copy could not be made)\r\n"), 1u) << log;
    EXPECT_EQ(qt::ReadBytes(dir + "\\a.exe"), infected);
    EXPECT_EQ(qt::Count(log, "The W32.Quorvin removal was unsuccessful."), 1u) << log;
    EXPECT_FALSE(qt::FileExists(other + "\\fixquorvin-quarantine.txt"));
    // Nor is anything restored from it.
    log = RunTool("/RESTORE=" + other);
    EXPECT_EQ(qt::Count(log, "WARNING: nothing was restored: the folder "), 1u) << log;
    EXPECT_EQ(qt::ReadBytes(other + "\\keep.txt"), Bytes({'k'}));
}

}  // namespace
