// The native scanner where a tree fights back: a quarantine inside the tree,
// a full quarantine device, unreadable and very deep folders, a PATH that is
// not there, a second run on the same tree, a file that changes under its
// repair, a kill in the middle of a repair, and sparse files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "linux/tree_scan.h"
#include "linux/unique_fd.h"
#include "tests/support/native_support.h"
#include "tests/support/log_capture.h"

namespace {

using nt::Bytes;
using nt::Count;
using nt::Infected;

const char kUnsuccessful[] = "The W32.Quorvin removal was unsuccessful.";
const char kNotFound[] = "has not been found";
const char kSuccess[] = "successfully removed";

// A later run without --quarantine leaves the quarantine inside its tree as
// it was and says so once; the kept copies are no programs. A folder that
// holds other things is never made a quarantine, not by a dry run either.
TEST(Quarantine, ALaterRunLeavesItAlone) {
    nt::TempTree tree;
    const Bytes image = Infected(200), threat = samples::MakeThreatFile({.build = 1});
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", image));
    ASSERT_TRUE(nt::WriteBytes(tree / "t/threat.dll", threat));
    const std::string q = tree / "t/q";
    EXPECT_EQ(nt::RunProgram({"--quarantine=" + q, tree / "t"}).exitCode, 1);
    const auto kept = nt::Snapshot(q);
    for (const std::vector<std::string>& args : {std::vector<std::string>{tree / "t"}, {q}, {"-n", tree.path()}}) {
        nt::ProgramRun later = nt::RunProgram(args);
        EXPECT_EQ(Count(later.output, "directory " + q + ": (skipped, a quarantine folder of fixquorvin)\n"), 1u)
            << later.output;
        EXPECT_EQ(Count(later.output, "infected with"), 0u) << later.output;
        EXPECT_EQ(later.exitCode, 0);
        EXPECT_EQ(nt::Snapshot(q), kept);
    }
    struct stat st;
    for (const auto& [name, bytes] : kept)
        EXPECT_TRUE(::stat((q + "/" + name).c_str(), &st) == 0 && (st.st_mode & 0111) == 0) << name;
    // The kept bytes are stored XORed (no MZ), and decode to the originals.
    std::map<std::string, std::pair<std::string, Bytes>> entries;
    for (const nt::QuarantineEntry& e : nt::ReadQuarantine(q)) entries[e.path] = {e.action, e.bytes};
    EXPECT_TRUE(entries == (decltype(entries){{tree / "t/a.exe", {"repaired", image}},
                                              {tree / "t/threat.dll", {"deleted", threat}}}));

    ASSERT_TRUE(nt::WriteBytes(tree / "other/keep.txt", {'k'}));
    ASSERT_TRUE(nt::WriteBytes(tree / "u/b.exe", image));
    EXPECT_EQ(nt::RunProgram({"--quarantine=" + tree / "other", tree / "u"}).exitCode, 3);
    EXPECT_EQ(nt::RunProgram({"-n", "--quarantine=" + tree / "other", tree / "u"}).exitCode, 3);
    EXPECT_EQ(nt::ReadBytes(tree / "u/b.exe"), image);
    EXPECT_EQ(nt::Snapshot(tree / "other").size(), 1u);
}

// A quarantine on a device that fills up: the files it could not copy are
// left and make the run unsuccessful; with no room at all, nothing is done
// and the report does not call the computer clean.
TEST(Quarantine, FullDeviceIsNoSuccess) {
    const Bytes image = Infected(210);
    const std::vector<std::string> names = {"a.exe", "b.exe", "c.exe", "d.exe"};
    // Room for the marker, one copy and its record, not for a second copy;
    // or for the marker alone.
    for (const size_t room : {(image.size() + 4095) / 4096 * 4096 + 3 * 4096, size_t(4096)}) {
        SCOPED_TRACE(room);
        nt::TempTree tree;
        nt::Tmpfs q;
        nt::fs::create_directories(tree / "q");
        if (!q.Mount(tree / "q", room)) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
        for (const std::string& name : names) ASSERT_TRUE(nt::WriteBytes(tree / "t/" + name, image));
        nt::ProgramRun run = nt::RunProgram({"--quarantine=" + tree / "q", tree / "t"});
        const size_t left = Count(run.output, ": (WARNING: not changed, the quarantine copy could not be made)\n");
        EXPECT_EQ(left, room > 4096 ? 3u : 4u) << run.output;
        EXPECT_EQ(Count(run.output, ": File repaired.\n"), 4u - left);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(Count(run.output, kUnsuccessful), 1u) << run.output;
        EXPECT_EQ(Count(run.output, kSuccess) + Count(run.output, kNotFound), 0u) << run.output;
        EXPECT_EQ(Count(run.output, std::to_string(left) + " file(s) were found and left unchanged."), 1u);
        size_t unchanged = 0;
        for (const std::string& name : names) unchanged += nt::ReadBytes(tree / "t/" + name) == image;
        EXPECT_EQ(unchanged, left);
    }
}

// A folder the scanner cannot read (run as nobody: root reads every folder)
// is named and counted, the headline does not say "not found", and it
// outranks a find left in place (exit 3, not 2).
TEST(Walk, UnreadableFolderIsNamedAndCounted) {
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    if (std::system((nobody + " true >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "cannot run as another user here (setpriv)";
    nt::TempTree tree;
    ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
    ASSERT_TRUE(nt::WriteBytes(tree / "open/clean.exe", samples::MakeCleanHost({.seed = 220})));
    ASSERT_TRUE(nt::WriteBytes(tree / "locked/a.exe", Infected(221)));
    ASSERT_EQ(::chmod((tree / "locked").c_str(), 0), 0);
    for (const bool withFind : {false, true}) {
        SCOPED_TRACE(withFind ? "beside a corrupt infection" : "beside clean files");
        if (withFind) ASSERT_TRUE(nt::WriteBytes(tree / "open/broken.exe", nt::Broken(222)));
        nt::ProgramRun run = nt::RunProgram({tree.path()}, {.shell = nobody});
        EXPECT_EQ(Count(run.output, "directory " + tree / "locked" + ": (WARNING: not scanned, permission denied)\n"), 1u)
            << run.output;
        EXPECT_EQ(Count(run.output, "The number of directories not scanned: 1\n"), 1u);
        EXPECT_EQ(Count(run.output, kNotFound), 0u);
        EXPECT_EQ(run.exitCode, 3);
    }
}

// A file 10 000 folders deep (a path far longer than the system's limit, a
// clean file on every level) is found and repaired, with few descriptors.
TEST(Walk, NoDepthLimit) {
    nt::TempTree tree;
    nt::Tmpfs memory;
    // 10 000 folders take seconds on a disk: on a tmpfs where one can be
    // mounted, else 2 100 (still a path beyond the limit).
    const int kDepth = memory.Mount(tree.path(), 64 << 20) ? 10000 : 2100;
    posix::UniqueFd at(::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
    for (int i = 0; i < kDepth && at; ++i) {
        ASSERT_EQ(::mkdirat(at.get(), "dd", 0755), 0);
        posix::UniqueFd clean(::openat(at.get(), "c", O_WRONLY | O_CREAT, 0644));
        at.reset(::openat(at.get(), "dd", O_RDONLY | O_DIRECTORY));
    }
    ASSERT_TRUE(at);
    // Named through the deepest folder's descriptor: its path is too long.
    const std::string deep = "/proc/self/fd/" + std::to_string(at.get()) + "/deep.exe";
    const Bytes image = Infected(230);
    ASSERT_TRUE(nt::WriteBytes(deep, image));
    nt::ProgramRun run = nt::RunProgram({tree.path()}, {.shell = "ulimit -n 256 &&"});
    // (the log cuts a path this long: its message follows on a line of its own)
    EXPECT_EQ(Count(run.output, "\n    File repaired.\n"), 1u) << run.output.substr(0, 2000);
    EXPECT_EQ(Count(run.output, "The number of repairs: 1\n"), 1u);
    EXPECT_EQ(Count(run.output, "The total number of the scanned files: " + std::to_string(kDepth + 1) + "\n"), 1u);
    EXPECT_EQ(run.exitCode, 1);
    const Bytes now = nt::ReadBytes(deep);
    EXPECT_TRUE(!now.empty() && now != image && native::DetectImage(now.data(), now.size()) == 0);
    at.reset();
    if (memory.point.empty()) ASSERT_EQ(std::system(("rm -rf '" + tree / "dd'").c_str()), 0);
}

// A PATH that cannot be opened (not there, a pipe, which is not opened) is
// in the log, counted, and gives 3 even beside a folder with a find.
TEST(Program, APathThatCannotBeOpened) {
    nt::TempTree tree;
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", Infected(240)));
    ASSERT_EQ(::mkfifo((tree / "pipe").c_str(), 0600), 0);
    const struct {
        bool dry;
        std::string path, line;
    } cases[] = {
        {true, tree / "missing", ": (WARNING: not scanned, not found)\r\n"},
        {false, tree / "missing", ": (WARNING: not scanned, not found)\r\n"},
        {false, tree / "pipe", ": (WARNING: not scanned, not a directory or a regular file)\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + (c.dry ? " (dry run)" : ""));
        const std::string log = c.path + (c.dry ? ".dry.log" : ".log");
        std::vector<std::string> args = {"--log=" + log, tree / "t", c.path};
        if (c.dry) args.insert(args.begin(), "-n");
        nt::ProgramRun run = nt::RunProgram(args, {.seconds = 10});
        const std::string text = nt::ReadText(log);
        EXPECT_EQ(Count(text, c.path + c.line), 1u) << text;
        EXPECT_EQ(Count(text, "The number of directories not scanned: 1\r\n"), 1u) << text;
        EXPECT_EQ(Count(text, kSuccess) + Count(text, kNotFound), 0u) << text;
        EXPECT_EQ(run.exitCode, 3);
    }
}

// Another run holds the tree (its root's lock) or one file (the file's
// lock): the tree is not scanned, the file not repaired, and each says why.
TEST(Program, ASecondRunOnTheSameTree) {
    nt::TempTree tree;
    const Bytes image = Infected(250);
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", image));
    const struct {
        std::string held, line;
        int code;
    } cases[] = {
        {tree / "t", "directory " + tree / "t: (WARNING: not scanned, another run of fixquorvin is working on it)\n", 3},
        {tree / "t/a.exe", tree / "t/a.exe: (WARNING: not repaired, another run of fixquorvin holds the file)\n", 2},
    };
    for (const auto& c : cases) {
        posix::UniqueFd lock(::open(c.held.c_str(), O_RDONLY));
        ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
        nt::ProgramRun run = nt::RunProgram({tree / "t"});
        EXPECT_EQ(Count(run.output, c.line), 1u) << run.output;
        EXPECT_EQ(Count(run.output, kNotFound) + Count(run.output, "corrupted"), 0u) << run.output;
        EXPECT_EQ(run.exitCode, c.code);
        EXPECT_EQ(nt::ReadBytes(tree / "t/a.exe"), image);
    }
}

// A file changed while its repaired copy is written is left, and the line
// says so rather than calling it corrupted.
std::string g_touched;
ssize_t WriteAndTouch(int fd, const void* data, size_t size) {
    const struct timespec times[2] = {{UTIME_OMIT, UTIME_OMIT}, {1234567, 0}};
    ::utimensat(AT_FDCWD, g_touched.c_str(), times, 0);
    return ::write(fd, data, size);
}
TEST(Repair, AFileChangedDuringTheRepairIsLeft) {
    nt::TempTree tree;
    const Bytes image = Infected(260);
    g_touched = tree / "a.exe";
    ASSERT_TRUE(nt::WriteBytes(g_touched, image));
    RunLog log;
    testsupport::LogCapture capture(log);
    native::TreeScanner(BuiltInDefinition(), {}, log, nullptr, {.write = WriteAndTouch}).ScanTree(tree.path());
    EXPECT_EQ(Count(capture.text, g_touched + ": (WARNING: not repaired, the file changed during the scan)\r\n"), 1u)
        << capture.text;
    EXPECT_EQ(Count(capture.text, "corrupted"), 0u);
    EXPECT_EQ(nt::ReadBytes(g_touched), image);
    EXPECT_EQ(nt::Snapshot(tree.path()).size(), 1u);   // no copy left
}

// Runs the program on args and sends it sig once a repair copy
// ("<name>.fixquorvin-...") is in dir (waiting at most 20 s); its exit code.
int StopDuringARepair(const std::vector<std::string>& args, const std::string& dir, int sig) {
    std::string command = "echo $$; exec '" + nt::Program() + "'";
    for (const std::string& a : args) command += " '" + a + "'";
    FILE* p = ::popen((command + " >/dev/null 2>&1").c_str(), "r");
    int pid = 0;
    if (!p || std::fscanf(p, "%d", &pid) != 1) return -1;
    for (int i = 0, found = 0; i < 20000 && !found; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        for (const auto& e : nt::fs::directory_iterator(dir))
            if (!found && e.path().filename().string().find(".fixquorvin-") != std::string::npos) found = !::kill(pid, sig);
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// SIGTERM while the copy of a large repair is written: the copy goes, the
// original stays, the log says the run was interrupted (exit 3). After a
// SIGKILL the copy stays, and the next run removes it with a line.
TEST(Signals, AKillInTheMiddleOfARepair) {
    nt::TempTree tree;
    const Bytes image = Infected(270, 40 << 20);
    ASSERT_TRUE(nt::WriteBytes(tree / "t/big.exe", image));
    EXPECT_EQ(StopDuringARepair({"--log=" + tree / "term.log", tree / "t"}, tree / "t", SIGTERM), 3);
    const std::string log = nt::ReadText(tree / "term.log");
    EXPECT_EQ(Count(log, "WARNING: the run was interrupted (SIGTERM): it stopped before it finished.\r\n"), 1u) << log;
    EXPECT_EQ(Count(log, kUnsuccessful), 1u) << log;
    EXPECT_EQ(nt::Snapshot(tree / "t").size(), 1u);   // no copy
    EXPECT_TRUE(nt::ReadBytes(tree / "t/big.exe") == image);

    EXPECT_EQ(StopDuringARepair({tree / "t"}, tree / "t", SIGKILL), 128 + SIGKILL);
    EXPECT_EQ(nt::Snapshot(tree / "t").size(), 2u);
    nt::ProgramRun next = nt::RunProgram({tree / "t"});
    EXPECT_EQ(Count(next.output, ": (deleted, an unfinished repair copy of an interrupted run)\n"), 1u) << next.output;
    EXPECT_EQ(Count(next.output, "big.exe: File repaired.\n"), 1u);
    EXPECT_EQ(next.exitCode, 1);
    EXPECT_EQ(nt::Snapshot(tree / "t").size(), 1u);
}

// The copies of a run that is still going (this process's own) stay, and so
// does a name that merely looks alike (a gone run's copy: the test above).
TEST(Signals, OnlyCopiesOfAGoneRunAreRemoved) {
    nt::TempTree tree;
    const std::string own = "a.exe.fixquorvin-" + std::to_string(::getpid()) + "-0", alike = "b.fixquorvin-12x-0";
    for (const std::string& name : {own, alike, std::string("a.exe")}) ASSERT_TRUE(nt::WriteBytes(tree / name, {'M', 'Z'}));
    RunLog log;
    testsupport::LogCapture capture(log);
    ASSERT_TRUE(native::TreeScanner(BuiltInDefinition(), {}, log).ScanTree(tree.path()));
    EXPECT_EQ(nt::Snapshot(tree.path()).size(), 3u) << capture.text;
}

// A sparse program comes back sparse (and whole) from its repair, and so is
// its quarantine copy.
TEST(Repair, SparseFilesStaySparse) {
    nt::TempTree tree;
    Bytes host = samples::MakeCleanHost({.seed = 280, .overlayBytes = 4 << 20});
    std::fill(host.end() - (4 << 20), host.end(), 0);
    const samples::InfectedSample infected = samples::Infect(host, {.seed = 281});
    const std::string path = tree / "t/sparse.exe";
    ASSERT_TRUE(infected.error.empty() && nt::WriteBytes(path, infected.image)) << infected.error;
    ASSERT_EQ(std::system(("fallocate --dig-holes '" + path + "'").c_str()), 0);
    auto allocated = [](const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : ~uint64_t(0);
    };
    if (allocated(path) > (1u << 20)) GTEST_SKIP() << "this file system does not keep holes";
    nt::ProgramRun run = nt::RunProgram({"--quarantine=" + tree / "q", tree / "t"});
    EXPECT_EQ(Count(run.output, "sparse.exe: File repaired.\n"), 1u) << run.output;
    EXPECT_TRUE(nt::ReadBytes(path) == samples::ExpectedAfterRepair(infected.normalizedHost, infected.image));
    EXPECT_LT(allocated(path), uint64_t(1) << 20);
    size_t copies = 0;
    for (const auto& e : nt::fs::directory_iterator(tree / "q"))
        if (e.path().extension() == ".data" && ++copies) EXPECT_LT(allocated(e.path()), uint64_t(1) << 20);
    EXPECT_EQ(copies, 1u);
}

}  // namespace
