// Putting back what a run changed: a real run over the sample factory's
// files with a quarantine, then --restore; what a restore refuses, damaged
// entries and folders, a full disk, and a kill at each step of a restore.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "linux/restore.h"
#include "native_support.h"
#include "scan/quarantine_core.h"
#include "tests/unit/log_capture.h"

namespace {

using nt::Bytes;
using nt::Count;

struct Kept {
    Bytes bytes;
    mode_t mode;
    uid_t uid;
    struct timespec mtime, atime;
};

// A tree of an infected program, a threat file and a clean file, with
// modes and times of their own; each file as it was before any run.
std::map<std::string, Kept> Plant(const std::string& root) {
    const std::vector<std::tuple<std::string, Bytes, mode_t>> files = {
        {"bin/app.exe", nt::Infected(300), 0750},
        {"bin/vcab.dll", samples::MakeThreatFile({.build = 1}), 0604},
        {"doc/readme.txt", {'h', 'i'}, 0640},
    };
    std::map<std::string, Kept> kept;
    long n = 0;
    for (const auto& [name, bytes, mode] : files) {
        const std::string path = root + "/" + name;
        EXPECT_TRUE(nt::WriteBytes(path, bytes));
        // Another owner where the tests may give one (as root).
        const uid_t uid = ::geteuid() == 0 && n == 0 ? 65534 : ::geteuid();
        if (uid != ::geteuid()) EXPECT_EQ(::chown(path.c_str(), uid, uid), 0);
        ::chmod(path.c_str(), mode);
        const struct timespec times[2] = {{1000000000 + ++n, 123}, {1100000000 + n, 456789}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
        kept[path] = {bytes, mode, uid, times[1], times[0]};
    }
    return kept;
}

void ExpectAsBefore(const std::map<std::string, Kept>& kept, bool atimes = true) {
    for (const auto& [path, k] : kept) {
        struct stat st = {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(nt::ReadBytes(path), k.bytes) << path;
        EXPECT_EQ(st.st_mode & 07777, k.mode) << path;
        EXPECT_EQ(st.st_uid, k.uid) << path;
        EXPECT_EQ(st.st_mtim.tv_sec, k.mtime.tv_sec) << path;
        EXPECT_EQ(st.st_mtim.tv_nsec, k.mtime.tv_nsec) << path;
        // (reading a file that is not restored moves its access time)
        if (atimes && (path.ends_with("exe") || path.ends_with("dll"))) EXPECT_EQ(st.st_atim.tv_sec, k.atime.tv_sec) << path;
    }
}

// The first .data file of the quarantine whose .info names path.
std::string DataOf(const std::string& q, const std::string& path) {
    for (const auto& e : nt::fs::directory_iterator(q)) {
        if (e.path().extension() != ".info") continue;
        quarantine::Record r;
        if (quarantine::ParseRecord(nt::ReadText(e.path()), r) == quarantine::ParseOutcome::Ok && r.path == path)
            return nt::fs::path(e.path()).replace_extension(".data");
    }
    return {};
}

struct Scene {
    nt::TempTree tree;
    std::string root = tree / "t", q = tree / "q";
    std::map<std::string, Kept> kept = Plant(root);
    std::string app = root + "/bin/app.exe", dll = root + "/bin/vcab.dll";
    Scene() { EXPECT_EQ(nt::RunProgram({"--quarantine=" + q, root}).exitCode, 1); }
};

// A real run, then a restore: every byte, mode and time as before the run;
// the log has one line per file and the summary. A second restore of the
// same folder finds the originals in place and restores them again.
TEST(Restore, PutsBackWhatARunChanged) {
    Scene s;
    ASSERT_NE(nt::ReadBytes(s.app), s.kept[s.app].bytes);
    ASSERT_FALSE(nt::fs::exists(s.dll));
    for (const nt::QuarantineEntry& e : nt::ReadQuarantine(s.q)) EXPECT_EQ(nt::ReadBytes(e.path).empty(), e.action == "deleted");

    nt::ProgramRun dry = nt::RunProgram({"--restore=" + s.q, "--dry-run"});
    EXPECT_EQ(dry.exitCode, 0);
    EXPECT_EQ(Count(dry.output, ": (dry run) would be restored\n"), 2u) << dry.output;
    EXPECT_FALSE(nt::fs::exists(s.dll));

    for (int round = 0; round < 2; ++round) {
        nt::ProgramRun run = nt::RunProgram({"--restore=" + s.q, "--log=" + s.tree / "restore.log"});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        const std::string log = nt::ReadText(s.tree / "restore.log");
        EXPECT_EQ(Count(log, s.app + ": (restored)\r\n") + Count(log, s.dll + ": (restored)\r\n"), 2u) << log;
        EXPECT_EQ(Count(log, "The restore from the quarantine was successful"), 1u);
        EXPECT_EQ(Count(log, "The number of the restored files: 2\r\n"), 1u);
        ExpectAsBefore(s.kept);
    }
    EXPECT_EQ(nt::Snapshot(s.root).size(), 3u);   // no copy left beside the files

    nt::ProgramRun list = nt::RunProgram({"--list=" + s.q});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(Count(list.output, " repaired "), 1u) << list.output;
    EXPECT_EQ(Count(list.output, " deleted "), 1u);
    EXPECT_EQ(Count(list.output, "2 entries in " + s.q), 1u);
}

// What a restore refuses, each with its own line and nothing overwritten:
// a file changed since the run (restored with --force), a file made where
// the deleted one was, a path that is now a directory or a link (not even
// with --force), a copy that is truncated or does not match its hash, an
// entry of an older run that does not say what the run left.
TEST(Restore, RefusesWhatItCannotTell) {
    struct Case {
        const char* name;
        std::function<void(Scene&)> damage;
        std::string target;   // "app" or "dll"
        const char* line;
        bool forced;          // --force restores it
    };
    const Bytes mine = {'m', 'i', 'n', 'e'};
    const std::vector<Case> cases = {
        {"changed", [&](Scene& s) { nt::WriteBytes(s.app, mine); }, "app",
         "(WARNING: not restored, the file changed since the run; --force restores it anyway)", true},
        {"made after the deletion", [&](Scene& s) { nt::WriteBytes(s.dll, mine); }, "dll",
         "(WARNING: not restored, a file of that name was made since the run; --force replaces it)", true},
        {"deleted after the repair", [&](Scene& s) { ::unlink(s.app.c_str()); }, "app",
         "(WARNING: not restored, the file was deleted since the run; --force recreates it)", true},
        {"directory", [&](Scene& s) { nt::fs::create_directory(s.dll); }, "dll",
         "(WARNING: not restored, the path is now a directory)", false},
        {"link", [&](Scene& s) { ::unlink(s.app.c_str()), ::symlink("/etc/hostname", s.app.c_str()); }, "app",
         "(WARNING: not restored, the path is now a symbolic link)", false},
        {"truncated", [&](Scene& s) { ::truncate(DataOf(s.q, s.app).c_str(), 10); }, "app",
         "(WARNING: not restored, the quarantine copy is truncated)", false},
        {"hash", [&](Scene& s) {
             Bytes b = nt::ReadBytes(DataOf(s.q, s.app));
             b[b.size() / 2] ^= 1;
             nt::WriteBytes(DataOf(s.q, s.app), b);
         }, "app", "(WARNING: not restored, the quarantine copy does not match its recorded hash)", false},
        {"older entry", [&](Scene& s) {
             const std::string info = nt::fs::path(DataOf(s.q, s.app)).replace_extension(".info");
             std::string text = nt::ReadText(info);
             text.erase(text.find("sha256="));
             nt::WriteBytes(info, Bytes(text.begin(), text.end()));
             nt::WriteBytes(s.app, mine);
         }, "app", "(WARNING: not restored, the entry does not record the file the run left; --force restores it anyway)",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scene s;
        c.damage(s);
        const std::string target = c.target == "app" ? s.app : s.dll;
        const auto before = nt::Snapshot(s.tree.path());
        nt::ProgramRun run = nt::RunProgram({"--restore=" + s.q, target});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(Count(run.output, target + ": " + c.line + "\n"), 1u) << run.output;
        EXPECT_EQ(Count(run.output, "The restore from the quarantine was unsuccessful"), 1u);
        EXPECT_EQ(nt::Snapshot(s.tree.path()), before);
        nt::ProgramRun forced = nt::RunProgram({"--restore=" + s.q, "--force", target});
        EXPECT_EQ(forced.exitCode, c.forced ? 0 : 2) << forced.output;
        if (c.forced) EXPECT_EQ(nt::ReadBytes(target), s.kept[target].bytes);
        else EXPECT_EQ(nt::Snapshot(s.tree.path()), before);
    }
}

// A folder that is not there or is no quarantine: one line, exit 3, and a
// foreign folder's files are not taken for entries. PATHs limit a restore.
TEST(Restore, FoldersAndPaths) {
    Scene s;
    ASSERT_TRUE(nt::WriteBytes(s.tree / "other/00000001.info", {'x'}));
    for (const std::string& dir : {s.tree / "none", s.tree / "other"}) {
        nt::ProgramRun run = nt::RunProgram({"--restore=" + dir, "--log=" + s.tree / "r.log"}, {.withErrors = true});
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(Count(nt::ReadText(s.tree / "r.log"), "WARNING: nothing was restored: "), 1u) << run.output;
        EXPECT_EQ(nt::RunProgram({"--list=" + dir}).exitCode, 3);
    }
    nt::ProgramRun one = nt::RunProgram({"--restore=" + s.q, s.root + "/bin/vcab.dll", s.tree / "elsewhere"});
    EXPECT_EQ(one.exitCode, 0) << one.output;
    EXPECT_EQ(Count(one.output, ": (restored)\n"), 1u);
    EXPECT_EQ(nt::ReadBytes(s.dll), s.kept[s.dll].bytes);
    EXPECT_NE(nt::ReadBytes(s.app), s.kept[s.app].bytes);
}

// A target on a full device: the line says so, the file stays as the run
// left it, and no copy is left.
TEST(Restore, FullDisk) {
    nt::TempTree tree;
    nt::Tmpfs small;
    nt::fs::create_directories(tree / "t");
    const Bytes image = nt::Infected(310, 40 << 10);
    const size_t room = (2 * image.size() + (64 << 10)) / 4096 * 4096;   // the file and its repair copy
    if (!small.Mount(tree / "t", room)) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", image));
    nt::ProgramRun scan = nt::RunProgram({"--quarantine=" + tree / "q", tree / "t"});
    ASSERT_EQ(scan.exitCode, 1) << scan.output;
    const Bytes left = nt::ReadBytes(tree / "t/a.exe");
    nt::WriteBytes(tree / "t/filler", Bytes(room, 1));   // fills the device
    nt::ProgramRun run = nt::RunProgram({"--restore=" + tree / "q"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(Count(run.output, tree / "t/a.exe: (WARNING: not restored, the disk is full)\n"), 1u) << run.output;
    EXPECT_EQ(nt::ReadBytes(tree / "t/a.exe"), left);
    EXPECT_EQ(nt::Snapshot(tree / "t").size(), 2u);
}

// A kill before each step of a restore that changes the disk (every write,
// the owner, mode and times, the flush, the rename): each file is then as
// the run left it or restored, never in between; a later restore finishes.
int g_stepsLeft = 0;
void KillAtStep() {
    if (--g_stepsLeft == 0) ::_exit(99);
}
TEST(Restore, AKillAtEachStep) {
    Scene s;
    const Bytes left = nt::ReadBytes(s.app);
    bool finished = false;
    for (int step = 1; step < 100 && !finished; ++step) {
        SCOPED_TRACE(step);
        const pid_t child = ::fork();
        if (child == 0) {
            g_stepsLeft = step;
            RunLog log;
            native::Restorer restorer({.quarantineDir = s.q}, log, {.beforeChange = KillAtStep});
            std::string problem;
            ::_exit(restorer.Open(problem) ? (restorer.Run(), native::RestoreStatus(restorer, true)) : 3);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        finished = WEXITSTATUS(status) == 0;
        if (!finished) EXPECT_EQ(WEXITSTATUS(status), 99);
        const Bytes app = nt::ReadBytes(s.app);
        EXPECT_TRUE(app == left || app == s.kept[s.app].bytes);
        EXPECT_TRUE(!nt::fs::exists(s.dll) || nt::ReadBytes(s.dll) == s.kept[s.dll].bytes);
        // Restore back to the state the run left, for the next step.
        if (!finished) {
            nt::WriteBytes(s.app, left);
            ::unlink(s.dll.c_str());
        }
    }
    EXPECT_TRUE(finished);
    ExpectAsBefore(s.kept, false);   // (the loop read them)
}

}  // namespace
