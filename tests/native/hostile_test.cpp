// The native scanner where a tree fights back: a quarantine inside the tree,
// a full quarantine device, unreadable and very deep folders, a PATH that is
// not there, a kill in the middle of a repair, a second run on the same tree,
// a file that changes under its repair, and sparse files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "linux/tree_scan.h"
#include "linux/unique_fd.h"
#include "native_support.h"
#include "tests/unit/log_capture.h"

namespace {

using nt::Bytes;
using nt::Count;

const char kUnsuccessful[] = "The W32.Quorvin removal was unsuccessful.";
const char kNotFound[] = "has not been found";
const char kSuccess[] = "successfully removed";

Bytes Infected(uint32_t seed, uint32_t overlay = 0) {
    return samples::MakeInfected(samples::MakeCleanHost({.seed = seed, .overlayBytes = overlay}), {.seed = seed + 1});
}

Bytes Broken(uint32_t seed) {
    return samples::MakeInfected(samples::MakeCleanHost({.seed = seed}),
                                 {.seed = seed + 1, .form = samples::BodyForm::TwoLayer, .twoLayerOperation = 0x33});
}

struct Unmount {
    std::string point;
    ~Unmount() {
        if (!point.empty()) ::umount2(point.c_str(), MNT_DETACH);
    }
};

// A later run without --quarantine leaves the quarantine inside its tree as
// it was and says so once; the kept copies are no programs.
TEST(Quarantine, ALaterRunLeavesItAlone) {
    nt::TempTree tree;
    const Bytes image = Infected(200);
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", image));
    ASSERT_TRUE(nt::WriteBytes(tree / "t/threat.dll", samples::MakeThreatFile({.build = 1})));
    const std::string q = tree / "t/q";
    EXPECT_EQ(nt::RunProgram({"--quarantine=" + q, tree / "t"}).exitCode, 1);
    const auto kept = nt::Snapshot(q);
    ASSERT_FALSE(kept.empty());
    for (const std::vector<std::string>& args : {std::vector<std::string>{tree / "t"}, {q}, {"-n", tree.path()}}) {
        nt::ProgramRun later = nt::RunProgram(args);
        EXPECT_EQ(Count(later.output, "directory " + q + ": (skipped, a quarantine folder of fixquorvin)\n"), 1u)
            << later.output;
        EXPECT_EQ(Count(later.output, "infected with"), 0u) << later.output;
        EXPECT_EQ(later.exitCode, 0);
        EXPECT_EQ(nt::Snapshot(q), kept);
    }
    for (const auto& [name, bytes] : kept) {
        struct stat st;
        ASSERT_EQ(::stat((q + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0111, 0u) << name;
        EXPECT_FALSE(bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z') << name;
    }
    const auto entries = nt::ReadQuarantine(q);
    ASSERT_EQ(entries.size(), 2u);
    for (const nt::QuarantineEntry& e : entries)
        if (e.path == tree / "t/a.exe") EXPECT_TRUE(e.bytes == image && e.action == "repaired");

    // A folder that holds other things is never made a quarantine.
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
    for (const bool roomForOne : {true, false}) {
        SCOPED_TRACE(roomForOne ? "room for one copy" : "no room");
        nt::TempTree tree;
        Unmount mount;
        nt::fs::create_directories(tree / "q");
        if (::mount("tmpfs", (tree / "q").c_str(), "tmpfs", 0, "size=512k") != 0)
            GTEST_SKIP() << "mounting a tmpfs is not permitted here (" << std::strerror(errno) << ")";
        mount.point = tree / "q";
        const Bytes image = Infected(210);
        for (const char* name : {"a.exe", "b.exe", "c.exe", "d.exe"}) ASSERT_TRUE(nt::WriteBytes(tree / "t/" + name, image));
        nt::fs::create_directories(tree / "q/in");   // empty: the run makes it its quarantine
        struct statvfs vfs;
        ASSERT_EQ(::statvfs((tree / "q").c_str(), &vfs), 0);
        // Room for the marker, one copy and its record, not for a second copy;
        // or for the marker alone.
        const uint64_t room = roomForOne ? (image.size() + 4095) / 4096 * 4096 + 3 * 4096 : 4096;
        uint64_t pad = vfs.f_bavail * vfs.f_bsize - room;
        {
            posix::UniqueFd f(::open((tree / "q/pad").c_str(), O_WRONLY | O_CREAT, 0600));
            ASSERT_TRUE(f);
            std::vector<char> block(4096, 'p');
            for (ssize_t n; pad > 0 && (n = ::write(f.get(), block.data(), std::min<uint64_t>(pad, block.size()))) > 0;)
                pad -= static_cast<uint64_t>(n);
        }

        nt::ProgramRun run = nt::RunProgram({"--quarantine=" + tree / "q/in", tree / "t"});
        const size_t left = Count(run.output, ": (WARNING: not changed, the quarantine copy could not be made)\n");
        EXPECT_EQ(left, roomForOne ? 3u : 4u) << run.output;
        EXPECT_EQ(Count(run.output, ": File repaired.\n"), 4u - left);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(Count(run.output, kUnsuccessful), 1u) << run.output;
        EXPECT_EQ(Count(run.output, kSuccess) + Count(run.output, kNotFound), 0u) << run.output;
        EXPECT_EQ(Count(run.output, std::to_string(left) + " file(s) were found and left unchanged."), 1u);
        size_t unchanged = 0;
        for (const char* name : {"a.exe", "b.exe", "c.exe", "d.exe"}) unchanged += nt::ReadBytes(tree / "t/" + name) == image;
        EXPECT_EQ(unchanged, left);
    }
}

// The program under test (FIXQUORVIN_UNDER_TEST: another build of it).
std::string Program() {
    const char* other = std::getenv("FIXQUORVIN_UNDER_TEST");
    return other ? other : FIXQUORVIN_PROGRAM;
}

// Runs a shell command line; its standard output and exit code.
nt::ProgramRun RunShell(const std::string& command) {
    nt::ProgramRun run;
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) return run;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) run.output.append(buffer, n);
    int status = ::pclose(p);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// As the user nobody (root reads every folder).
nt::ProgramRun RunAsNobody(const std::string& tree) {
    return RunShell("setpriv --reuid=65534 --regid=65534 --clear-groups '" + Program() + "' '" + tree + "'");
}

// A folder the scanner cannot read is named, counted, and outranks a find
// left in place (exit 3, not 2); the headline does not say "not found".
TEST(Walk, UnreadableFolderIsNamedAndCounted) {
    if (std::system("setpriv --reuid=65534 --regid=65534 --clear-groups true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "cannot run as another user here (setpriv)";
    nt::TempTree tree;
    ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
    ASSERT_TRUE(nt::WriteBytes(tree / "open/clean.exe", samples::MakeCleanHost({.seed = 220})));
    ASSERT_TRUE(nt::WriteBytes(tree / "locked/a.exe", Infected(221)));
    ASSERT_EQ(::chmod((tree / "locked").c_str(), 0), 0);
    const std::string line = "directory " + tree / "locked" + ": (WARNING: not scanned, permission denied)\n";

    nt::ProgramRun run = RunAsNobody(tree.path());
    EXPECT_EQ(Count(run.output, line), 1u) << run.output;
    EXPECT_EQ(Count(run.output, "The number of directories not scanned: 1\n"), 1u);
    EXPECT_EQ(Count(run.output, kNotFound), 0u);
    EXPECT_EQ(run.exitCode, 3);

    // With a find that is left (a corrupt infection), still 3.
    ASSERT_TRUE(nt::WriteBytes(tree / "open/broken.exe", Broken(222)));
    ASSERT_EQ(::chmod((tree / "open").c_str(), 0777), 0);
    run = RunAsNobody(tree.path());
    EXPECT_EQ(Count(run.output, line), 1u) << run.output;
    EXPECT_EQ(run.exitCode, 3);
    ASSERT_EQ(::chmod((tree / "locked").c_str(), 0755), 0);
}

// A file 10 000 folders deep (a path far longer than the system's limit) is
// found and repaired; the folders are made and removed relative to each other.
TEST(Walk, NoDepthLimit) {
    nt::TempTree tree;
    Unmount mount;
    const Bytes image = Infected(230);
    // 10 000 folders take seconds on a disk: on a tmpfs where one can be
    // mounted, else 2 100 (still a path beyond the limit).
    const bool inMemory = ::mount("tmpfs", tree.path().c_str(), "tmpfs", 0, "size=64m") == 0;
    if (inMemory) mount.point = tree.path();
    const int kDepth = inMemory ? 10000 : 2100;
    posix::UniqueFd at(::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
    for (int i = 0; i < kDepth && at; ++i) {
        ASSERT_EQ(::mkdirat(at.get(), "dd", 0755), 0);
        posix::UniqueFd clean(::openat(at.get(), "c", O_WRONLY | O_CREAT, 0644));   // a file on every level
        at.reset(::openat(at.get(), "dd", O_RDONLY | O_DIRECTORY));
    }
    ASSERT_TRUE(at);
    {
        posix::UniqueFd f(::openat(at.get(), "deep.exe", O_WRONLY | O_CREAT, 0644));
        ASSERT_TRUE(f);
        ASSERT_EQ(::write(f.get(), image.data(), image.size()), ssize_t(image.size()));
    }
    // Few descriptors are enough, however deep.
    nt::ProgramRun run = RunShell("ulimit -n 256 && '" + Program() + "' '" + tree.path() + "'");
    // (the log cuts a path this long: its message follows on a line of its own)
    EXPECT_EQ(Count(run.output, "\n    File repaired.\n"), 1u) << run.output.substr(0, 2000);
    EXPECT_EQ(Count(run.output, "The number of repairs: 1\n"), 1u);
    EXPECT_EQ(Count(run.output, "The total number of the scanned files: " + std::to_string(kDepth + 1) + "\n"), 1u);
    EXPECT_EQ(run.exitCode, 1);
    Bytes now(image.size() + 1);
    posix::UniqueFd f(::openat(at.get(), "deep.exe", O_RDONLY));
    ASSERT_TRUE(f);
    now.resize(static_cast<size_t>(std::max<ssize_t>(::read(f.get(), now.data(), now.size()), 0)));
    EXPECT_FALSE(now.empty());
    EXPECT_NE(now, image);
    EXPECT_EQ(native::DetectImage(now.data(), now.size()), 0);
    at.reset();
    if (!inMemory) ASSERT_EQ(std::system(("rm -rf '" + tree / "dd'").c_str()), 0);
}

// A PATH that cannot be opened is in the log, counted, and gives 3 even
// beside a folder with a find.
TEST(Program, APathThatCannotBeOpened) {
    nt::TempTree tree;
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", Infected(240)));
    for (const bool dry : {true, false}) {
        std::vector<std::string> args = {"--log=" + tree / "run.log", tree / "t", tree / "missing"};
        if (dry) args.insert(args.begin(), "-n");
        nt::ProgramRun run = nt::RunProgram(args);
        const Bytes logBytes = nt::ReadBytes(tree / "run.log");
        const std::string log(logBytes.begin(), logBytes.end());
        EXPECT_EQ(Count(log, tree / "missing: (WARNING: not scanned, not found)\r\n"), 1u) << log;
        EXPECT_EQ(Count(log, "The number of directories not scanned: 1\r\n"), 1u) << log;
        EXPECT_EQ(Count(log, kSuccess) + Count(log, kNotFound), 0u) << log;
        EXPECT_EQ(run.exitCode, 3);
    }
    // Nor is a pipe opened, or passed over in silence.
    ASSERT_EQ(::mkfifo((tree / "pipe").c_str(), 0600), 0);
    nt::ProgramRun run = nt::RunProgram({tree / "t", tree / "pipe"});
    EXPECT_EQ(Count(run.output, tree / "pipe: (WARNING: not scanned, not a directory or a regular file)\n"), 1u)
        << run.output;
    EXPECT_EQ(run.exitCode, 3);
}

// Another run holds the tree (its root's lock) or one file (the file's
// lock): the tree is not scanned, the file not repaired, and each says why.
TEST(Program, ASecondRunOnTheSameTree) {
    nt::TempTree tree;
    const Bytes image = Infected(250);
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", image));
    {
        posix::UniqueFd root(::open((tree / "t").c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_EQ(::flock(root.get(), LOCK_EX), 0);
        nt::ProgramRun run = nt::RunProgram({tree / "t"});
        EXPECT_EQ(Count(run.output, "directory " + tree / "t" +
                                        ": (WARNING: not scanned, another run of fixquorvin is working on it)\n"),
                  1u)
            << run.output;
        EXPECT_EQ(Count(run.output, kNotFound), 0u);
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(nt::ReadBytes(tree / "t/a.exe"), image);
    }
    posix::UniqueFd file(::open((tree / "t/a.exe").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(file.get(), LOCK_EX), 0);
    nt::ProgramRun run = nt::RunProgram({tree / "t"});
    EXPECT_EQ(Count(run.output, "a.exe: (WARNING: not repaired, another run of fixquorvin holds the file)\n"), 1u)
        << run.output;
    EXPECT_EQ(Count(run.output, "corrupted"), 0u);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(nt::ReadBytes(tree / "t/a.exe"), image);
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
    qt::LogCapture capture(log);
    native::TreeScanner scanner(BuiltInDefinition(), {}, log, nullptr, {.write = WriteAndTouch});
    scanner.ScanTree(tree.path());
    EXPECT_EQ(Count(capture.text, g_touched + ": (WARNING: not repaired, the file changed during the scan)\r\n"), 1u)
        << capture.text;
    EXPECT_EQ(Count(capture.text, "corrupted"), 0u);
    EXPECT_EQ(nt::ReadBytes(g_touched), image);
    EXPECT_EQ(nt::Snapshot(tree.path()).size(), 1u);   // no copy left
}

// Waits (at most 20 s) for a repair copy of `name` to appear in dir.
bool WaitForCopy(const std::string& dir, const std::string& name) {
    for (int i = 0; i < 20000; ++i) {
        for (const auto& e : nt::fs::directory_iterator(dir)) {
            const std::string f = e.path().filename();
            if (f != name && f.rfind(name + ".fix", 0) == 0) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

struct Child {
    pid_t pid = -1;
    int Wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            Wait();
        }
    }
};

Child Start(const std::vector<std::string>& args) {
    Child child;
    child.pid = ::fork();
    if (child.pid == 0) {
        const std::string program = Program();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    return child;
}

// SIGTERM while the copy of a large repair is written: the copy goes, the
// original stays, the log says the run was interrupted (exit 3). After a
// SIGKILL the copy stays, and the next run removes it with a line.
TEST(Signals, AKillInTheMiddleOfARepair) {
    nt::TempTree tree;
    const Bytes image = Infected(270, 40 << 20);
    ASSERT_TRUE(nt::WriteBytes(tree / "t/big.exe", image));
    {
        Child run = Start({"--log=" + tree / "term.log", tree / "t"});
        ASSERT_TRUE(WaitForCopy(tree / "t", "big.exe"));
        ::kill(run.pid, SIGTERM);
        EXPECT_EQ(run.Wait(), 3);
        const Bytes bytes = nt::ReadBytes(tree / "term.log");
        const std::string log(bytes.begin(), bytes.end());
        EXPECT_EQ(Count(log, "WARNING: the run was interrupted (SIGTERM): it stopped before it finished.\r\n"), 1u) << log;
        EXPECT_EQ(Count(log, kUnsuccessful), 1u) << log;
        EXPECT_EQ(nt::Snapshot(tree / "t").size(), 1u);   // no copy
        EXPECT_TRUE(nt::ReadBytes(tree / "t/big.exe") == image);
    }
    Child run = Start({tree / "t"});
    ASSERT_TRUE(WaitForCopy(tree / "t", "big.exe"));
    ::kill(run.pid, SIGKILL);
    run.Wait();
    EXPECT_EQ(nt::Snapshot(tree / "t").size(), 2u);
    nt::ProgramRun next = nt::RunProgram({tree / "t"});
    EXPECT_EQ(Count(next.output, ": (deleted, an unfinished repair copy of an interrupted run)\n"), 1u) << next.output;
    EXPECT_EQ(Count(next.output, "big.exe: File repaired.\n"), 1u);
    EXPECT_EQ(next.exitCode, 1);
    EXPECT_EQ(nt::Snapshot(tree / "t").size(), 1u);
}

// A sparse program comes back sparse from its repair, and so is its
// quarantine copy.
TEST(Repair, SparseFilesStaySparse) {
    nt::TempTree tree;
    samples::Bytes host = samples::MakeCleanHost({.seed = 280, .overlayBytes = 4 << 20});
    const samples::PeInfo pe = samples::ReadPe(host);
    const size_t overlay = host.size() - (4 << 20);
    std::fill(host.begin() + static_cast<ptrdiff_t>(overlay), host.end(), 0);
    const Bytes image = samples::MakeInfected(host, {.seed = 281});
    ASSERT_TRUE(pe.valid && !image.empty());
    const std::string path = tree / "t/sparse.exe";
    nt::fs::create_directories(tree / "t");
    {
        posix::UniqueFd f(::open(path.c_str(), O_WRONLY | O_CREAT, 0644));
        for (size_t at = 0; at < image.size(); at += 4096) {
            const size_t n = std::min<size_t>(4096, image.size() - at);
            if (std::all_of(image.begin() + at, image.begin() + at + n, [](uint8_t b) { return b == 0; })) continue;
            ASSERT_EQ(::pwrite(f.get(), image.data() + at, n, static_cast<off_t>(at)), ssize_t(n));
        }
        ASSERT_EQ(::ftruncate(f.get(), static_cast<off_t>(image.size())), 0);
    }
    auto allocated = [](const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : ~uint64_t(0);
    };
    if (allocated(path) > (1u << 20)) GTEST_SKIP() << "this file system does not keep holes";
    nt::ProgramRun run = nt::RunProgram({"--quarantine=" + tree / "q", tree / "t"});
    EXPECT_EQ(Count(run.output, "sparse.exe: File repaired.\n"), 1u) << run.output;
    const Bytes repaired = nt::ReadBytes(path);
    EXPECT_GT(repaired.size(), size_t(4 << 20));
    EXPECT_EQ(native::DetectImage(repaired.data(), repaired.size()), 0);
    EXPECT_LT(allocated(path), uint64_t(1) << 20);
    for (const auto& e : nt::fs::directory_iterator(tree / "q"))
        if (e.path().extension() == ".data") EXPECT_LT(allocated(e.path()), uint64_t(1) << 20) << e.path();
}

}  // namespace

namespace {

// Only the copies of a run that is gone are removed: this process's own
// stays, and so does a name that merely looks alike.
TEST(Signals, OnlyCopiesOfAGoneRunAreRemoved) {
    nt::TempTree tree;
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ASSERT_GT(gone, 0);
    ::waitpid(gone, nullptr, 0);
    const std::string own = "a.exe.fixquorvin-" + std::to_string(::getpid()) + "-0";
    const std::string dead = "a.exe.fixquorvin-" + std::to_string(gone) + "-3";
    for (const std::string& name : {own, dead, std::string("b.fixquorvin-12x-0"), std::string("a.exe")})
        ASSERT_TRUE(nt::WriteBytes(tree / name, {'M', 'Z'}));
    RunLog log;
    qt::LogCapture capture(log);
    native::TreeScanner scanner(BuiltInDefinition(), {}, log);
    ASSERT_TRUE(scanner.ScanTree(tree.path()));
    EXPECT_TRUE(nt::fs::exists(tree / own));
    EXPECT_FALSE(nt::fs::exists(tree / dead));
    EXPECT_TRUE(nt::fs::exists(tree / "b.fixquorvin-12x-0"));
    EXPECT_EQ(Count(capture.text, tree / dead + ": (deleted, an unfinished repair copy of an interrupted run)\r\n"), 1u)
        << capture.text;
}

}  // namespace
