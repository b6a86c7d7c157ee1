// The program's exit code under Wine: 0 without /EXITCODE whatever the run
// found; with it one code per outcome, a dry run's the one a real run would give.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/repair_support.h"
#include "support/support.h"
#include "tests/samples/sample_set_core.h"

namespace {

using samples::Bytes;

std::string Program() { return testsupport::BinDir() + "\\FixQuorvin.exe"; }

// A corrupted infected host of the sample set (its repair fails).
Bytes CorruptSample() {
    const Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    const Bytes real = testsupport::ReadBytes("C:\\windows\\system32\\hostname.exe");
    samples::SampleSet set = samples::BuildSampleSet(hello, "hello", real, "hostname.exe");
    for (const samples::SetSample& s : set.samples)
        if (s.expect == samples::Expect::Failed) return s.image;
    return {};
}

enum class Tree { Empty, Infected, Corrupt, HeldInfected, Missing };

struct Case {
    const char* what;
    const char* switches;
    Tree tree;
    DWORD code;
    bool changed;   // whether the infected file is no longer as planted
};

TEST(ExitCode, OneCodePerOutcome) {
    const Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    const Bytes infected = samples::MakeInfected(hello, {.seed = 801});
    const Bytes corrupt = CorruptSample();
    ASSERT_FALSE(infected.empty() || corrupt.empty());
    const Case cases[] = {
        {"no /EXITCODE: 0 as always", "", Tree::Infected, 0, true},
        {"nothing found", "/EXITCODE", Tree::Empty, 0, false},
        {"found and cleaned", "/EXITCODE", Tree::Infected, 1, true},
        {"a repair failed", "/EXITCODE", Tree::Corrupt, 2, false},
        {"the tree is not there", "/EXITCODE", Tree::Missing, 3, false},
        {"repaired at the restart", "/EXITCODE", Tree::HeldInfected, 4, false},
        {"dry run, would be cleaned", "/DRYRUN /EXITCODE", Tree::Infected, 1, false},
        {"dry run, a repair would fail", "/EXITCODE /DRYRUN", Tree::Corrupt, 2, false},
        {"dry run without /EXITCODE", "/DRYRUN", Tree::Corrupt, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = testsupport::NewWorkDir("codes");
        const std::string file = dir + "\\app.exe";
        const Bytes& planted = c.tree == Tree::Corrupt ? corrupt : infected;
        const bool planting = c.tree != Tree::Empty && c.tree != Tree::Missing;
        if (planting) {
            ASSERT_TRUE(testsupport::WriteBytes(file, planted));
        }
        testsupport::FileHolder holder;
        if (c.tree == Tree::HeldInfected) {
            ASSERT_TRUE(holder.Hold(file));
        }
        const std::string tree = c.tree == Tree::Missing ? dir + "\\nothing" : dir;
        const std::string logDir = testsupport::NewWorkDir("codes-log");
        testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S /NOSILENTREBOOT " + c.switches + " /ONLYDIR=" + tree,
                                      logDir, 300000);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, c.code) << testsupport::ReadText(logDir + "\\fixquorvin.log");
        holder.Release();
        if (planting) {
            EXPECT_EQ(testsupport::ReadBytes(file) != planted, c.changed);
        }
    }
}

// A log that cannot be written anywhere is a run that could not be done; a
// silent run that keeps its log elsewhere is not.
TEST(ExitCode, NoLogAtAll) {
    const std::string dir = testsupport::NewWorkDir("codes-nolog");
    // A folder in place of the log file, in the folder the fallback uses too.
    ASSERT_TRUE(CreateDirectoryA((dir + "\\fixquorvin.log").c_str(), nullptr));
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string tempLog = std::string(temp) + "fixquorvin.log";
    DeleteFileA(tempLog.c_str());
    testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S /EXITCODE /NOFILESCAN", dir, 300000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0u) << "the fallback log in %TEMP% was not used";
    EXPECT_TRUE(testsupport::FileExists(tempLog));
    // Now the fallback cannot be written either.
    DeleteFileA(tempLog.c_str());
    ASSERT_TRUE(CreateDirectoryA(tempLog.c_str(), nullptr));
    r = testsupport::Run("\"" + Program() + "\" /S /EXITCODE /NOFILESCAN", dir, 300000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 3u);
    RemoveDirectoryA(tempLog.c_str());
}

}  // namespace
