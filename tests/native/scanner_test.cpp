// The native scanner over factory samples: the verdicts and repaired bytes
// the Windows program is held to, dry runs, quarantine copies, failing
// writes, links, parallel detection and the exit codes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "linux/tree_scan.h"
#include "linux/unique_fd.h"
#include "tests/support/native_support.h"
#include "tests/samples/sample_set_core.h"
#include "tests/support/log_capture.h"

namespace {

using nt::Bytes;
using nt::Count;
using samples::Expect;

const char kRepairFailedLine[] = ": ERROR! Repair failed, the file is corrupted, please replace it from a backup copy.";

samples::SampleSet Set() {
    return samples::BuildSampleSet(samples::MakeCleanHost({.seed = 9, .sections = 3}), "prog",
                                   samples::MakeCleanHost({.seed = 10, .sections = 4}), "system.exe");
}

void WriteSet(const samples::SampleSet& set, const std::string& dir) {
    for (const samples::SetSample& s : set.samples) ASSERT_TRUE(nt::WriteBytes(dir + "/" + s.name, s.image)) << s.name;
}

Bytes Infected(uint32_t seed) {
    return samples::MakeInfected(samples::MakeCleanHost({.seed = seed}), {.seed = seed + 1});
}

std::vector<std::string> FixLeftovers(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : nt::fs::recursive_directory_iterator(dir))
        if (e.path().filename().string().find(".fix") != std::string::npos) out.push_back(e.path());
    return out;
}

struct Scan {
    explicit Scan(native::ScanSettings settings = {}, native::ScanSeams seams = {})
        : scanner(BuiltInDefinition(), settings, log, nullptr, seams) {}
    RunLog log;
    testsupport::LogCapture capture{log};
    native::TreeScanner scanner;
};

// The set's verdicts, lines and bytes, in a log whose order is the walk's
// whatever the jobs (enough clean files come first for the samples to fall
// into later batches).
TEST(SampleSet, SameVerdictsAndRepairedBytesAsTheWindowsProgram) {
    nt::TempTree tree, oneJob;
    samples::SampleSet set = Set();
    ASSERT_TRUE(set.error.empty()) << set.error;
    for (const nt::TempTree* t : {&tree, &oneJob}) {
        WriteSet(set, t->path());
        for (int i = 0; i < 1200; ++i) ASSERT_TRUE(nt::WriteBytes(*t / "a-pad/" + std::to_string(i), {'M', 'Z'}));
    }
    // A repaired file keeps its mode and times.
    const std::string kept = tree / "prog-one.exe";
    ASSERT_EQ(::chmod(kept.c_str(), 0751), 0);
    const bool labelled = ::setxattr(kept.c_str(), "user.origin", "share", 5, 0) == 0;
    const struct timespec old[2] = {{1000000000, 0}, {1000000123, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, kept.c_str(), old, 0), 0);

    Scan scan({.jobs = 4});
    ASSERT_TRUE(scan.scanner.ScanTree(tree.path()));
    const std::string& log = scan.capture.text;
    // (before anything below reads the file and moves its access time)
    struct stat after;
    ASSERT_EQ(::stat(kept.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0751u);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000123);
    EXPECT_EQ(after.st_atim.tv_sec, 1000000000);
    char label[16] = {};
    if (labelled) EXPECT_EQ(::getxattr(kept.c_str(), "user.origin", label, sizeof label), 5);
    unsigned infections = 0, repairs = 0, failed = 0, deleted = 0;
    for (const samples::SetSample& s : set.samples) {
        const std::string path = tree / s.name;
        size_t lines = Count(log, path + ": infected with ");
        if (s.expect == Expect::Clean) {
            EXPECT_EQ(lines, 0u) << s.name;
            EXPECT_EQ(nt::ReadBytes(path), s.image) << s.name;
            continue;
        }
        infections += s.layers;
        EXPECT_EQ(Count(log, path + ": infected with " + s.detection + "\r\n"), size_t(s.layers)) << s.name;
        switch (s.expect) {
        case Expect::Repaired:
            repairs += s.layers;
            EXPECT_EQ(Count(log, path + ": File repaired.\r\n"), size_t(s.layers)) << s.name;
            EXPECT_TRUE(nt::ReadBytes(path) == s.repaired) << s.name;
            break;
        case Expect::Failed:
            ++failed;
            EXPECT_EQ(Count(log, path + kRepairFailedLine + "\r\n"), 1u) << s.name;
            EXPECT_EQ(nt::ReadBytes(path), s.image) << s.name;
            break;
        default:
            ++deleted;
            EXPECT_EQ(Count(log, path + ": (deleted)\r\n"), 1u) << s.name;
            EXPECT_FALSE(nt::fs::exists(path)) << s.name;
        }
    }
    const RemovalStats& st = scan.scanner.stats;
    EXPECT_EQ(st.filesScanned, set.samples.size() + 1200);
    EXPECT_EQ(st.infections, infections);
    EXPECT_EQ(st.repairs, repairs);
    EXPECT_EQ(st.repairsFailed, failed);
    EXPECT_EQ(st.filesDeleted, deleted);
    EXPECT_TRUE(FixLeftovers(tree.path()).empty());
    EXPECT_EQ(native::StatusOf(st, scan.scanner.notCleaned, scan.scanner.ioErrors), native::ExitStatus::NotAllCleaned);

    Scan one({.jobs = 1});
    ASSERT_TRUE(one.scanner.ScanTree(oneJob.path()));
    std::string expected = one.capture.text;
    for (size_t at; (at = expected.find(oneJob.path())) != std::string::npos;)
        expected.replace(at, oneJob.path().size(), tree.path());
    EXPECT_EQ(log, expected);
}

// A dry run changes nothing, makes no quarantine copy and predicts the real
// run; the real run's copies (in a quarantine inside the tree, not scanned)
// restore every original.
TEST(Program, DryRunThenAQuarantinedRun) {
    nt::TempTree tree;
    WriteSet(Set(), tree / "t");
    const auto before = nt::Snapshot(tree / "t");
    const std::string quarantine = tree / "t/quarantine";
    nt::ProgramRun dry = nt::RunProgram({"--dry-run", "--quarantine=" + quarantine, "--log=" + tree / "dry.log", tree / "t"});
    EXPECT_EQ(nt::Snapshot(tree / "t"), before);
    EXPECT_EQ(Count(dry.output, "Dry run: nothing was changed."), 1u);

    nt::ProgramRun real = nt::RunProgram({"--quarantine=" + quarantine, tree / "t"});
    EXPECT_EQ(dry.exitCode, 2);
    EXPECT_EQ(real.exitCode, 2);
    EXPECT_EQ(Count(real.output, quarantine), 1u) << real.output;
    EXPECT_EQ(Count(real.output, "directory " + quarantine + ": (skipped, a quarantine folder of fixquorvin)\n"), 1u);
    EXPECT_EQ(Count(dry.output, "infected with"), Count(real.output, "infected with"));
    EXPECT_EQ(Count(dry.output, "(dry run) would be repaired"), Count(real.output, "File repaired."));
    EXPECT_EQ(Count(dry.output, "(dry run) would be deleted"), Count(real.output, ": (deleted)"));
    // The report's counters are the ones the real run gives, in the would-be form.
    auto counter = [](const std::string& out, const std::string& head) {
        const size_t at = out.find("\n" + head) + 1;   // 0: not there
        return at ? out.substr(at + head.size(), out.find('\n', at) - at - head.size()) : "missing";
    };
    for (const auto& [would, did] : {std::pair{"(would be) repaired: ", "The number of repairs: "},
                                     {"(would be) deleted threat files: ", "The number of deleted threat files: "},
                                     {"(would be) fixed registry entries: ", "The number of registry entries fixed: "},
                                     {"The number of infections: ", "The number of infections: "},
                                     {"The total number of the scanned files: ", "The total number of the scanned files: "}})
        EXPECT_EQ(counter(dry.output, would), counter(real.output, did)) << would;

    // Every changed file has its entry, and only those: a file the run left
    // as it was (a repair that failed) has none.
    size_t copies = 0;
    for (const nt::QuarantineEntry& e : nt::ReadQuarantine(quarantine)) {
        EXPECT_TRUE(e.action == "repaired" || e.action == "deleted") << e.action;
        EXPECT_TRUE(nt::WriteBytes(e.path, e.bytes)) << e.path;
        ++copies;
    }
    EXPECT_EQ(copies, 20u);   // every repaired and every deleted file
    nt::fs::remove_all(quarantine);
    EXPECT_EQ(nt::Snapshot(tree / "t"), before);
}

ssize_t FailingWrite(int fd, const void* data, size_t size) {
    if (size > 100) return ::write(fd, data, 100);   // part of it reaches the disk
    errno = ENOSPC;
    return -1;
}

// Unmounts what a test mounted, before its folder is removed.
struct Unmount {
    std::vector<std::string> points;
    ~Unmount() {
        for (auto it = points.rbegin(); it != points.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    }
};

// A write that fails (injected, on a full or on a read-only small tmpfs)
// leaves the original and no copy.
TEST(Repair, AFailedWriteLeavesTheOriginalAndNoCopy) {
    const std::map<std::string, std::string> lines = {
        {"injected", ": (WARNING: not repaired, the disk is full)"},
        {"full", ": (WARNING: not repaired, the disk is full)"},
        {"read-only", ": (WARNING: not repaired, the folder is read-only)"}};
    for (const char* how : {"injected", "full", "read-only"}) {
        SCOPED_TRACE(how);
        const bool injected = how[0] == 'i', readOnly = how[0] == 'r';
        nt::TempTree tree;
        Unmount mounts;
        if (!injected && ::mount("tmpfs", tree.path().c_str(), "tmpfs", 0, "size=256k") != 0)
            GTEST_SKIP() << "mounting a tmpfs is not permitted here (" << std::strerror(errno) << ")";
        if (!injected) mounts.points.push_back(tree.path());
        const Bytes image = Infected(30);
        ASSERT_TRUE(nt::WriteBytes(tree / "a.exe", image));
        if (readOnly)
            ASSERT_EQ(::mount("tmpfs", tree.path().c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=256k"), 0);
        if (how[0] == 'f') {   // fill what is left
            FILE* f = std::fopen((tree / "filler").c_str(), "wb");
            ASSERT_NE(f, nullptr);
            std::vector<char> block(4096, 'f');
            while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
            }
            std::fclose(f);
        }
        Scan scan({}, {.write = injected ? FailingWrite : nullptr});
        scan.scanner.ScanTree(tree / "a.exe");
        EXPECT_EQ(nt::ReadBytes(tree / "a.exe"), image);
        EXPECT_TRUE(FixLeftovers(tree.path()).empty());
        // Not the corruption text: the file is sound, the folder is not writable.
        EXPECT_EQ(Count(scan.capture.text, tree / "a.exe" + lines.at(how) + "\r\n"), 1u) << scan.capture.text;
        EXPECT_EQ(Count(scan.capture.text, "corrupted"), 0u);
        EXPECT_EQ(scan.scanner.stats.repairsFailed, 0u);
        EXPECT_EQ(scan.scanner.notCleaned, 1u);
        EXPECT_EQ(native::StatusOf(scan.scanner.stats, scan.scanner.notCleaned, scan.scanner.ioErrors),
                  native::ExitStatus::NotAllCleaned);
    }
}

// Links are not followed (a loop, a folder and a file outside the tree, a
// second name inside); another file system inside the tree is entered only
// when asked; the tree bound inside itself is walked once.
TEST(Walk, LinksOtherFileSystemsAndBindLoops) {
    nt::TempTree outside, tree;
    Unmount mounts;
    const Bytes image = Infected(50);
    ASSERT_TRUE(nt::WriteBytes(outside / "dir/out.exe", image));
    ASSERT_TRUE(nt::WriteBytes(outside / "file.exe", image));
    ASSERT_TRUE(nt::WriteBytes(tree / "a/in.exe", image));
    ASSERT_EQ(::symlink("..", (tree / "a/loop").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "dir").c_str(), (tree / "out-dir").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "file.exe").c_str(), (tree / "out-file.exe").c_str()), 0);
    ASSERT_EQ(::symlink("in.exe", (tree / "a/same.exe").c_str()), 0);
    nt::fs::create_directories(tree / "mnt");
    nt::fs::create_directories(tree / "loop");
    const bool mounted = ::mount("tmpfs", (tree / "mnt").c_str(), "tmpfs", 0, "size=1m") == 0;
    const std::string mountError = mounted ? "" : std::strerror(errno);
    if (mounted) {
        mounts.points.push_back(tree / "mnt");
        ASSERT_EQ(::mount(tree.path().c_str(), (tree / "loop").c_str(), nullptr, MS_BIND, nullptr), 0);
        mounts.points.push_back(tree / "loop");
        ASSERT_TRUE(nt::WriteBytes(tree / "mnt/inner.exe", image));
    }

    Scan one;
    ASSERT_TRUE(one.scanner.ScanTree(tree.path()));
    EXPECT_EQ(one.scanner.stats.filesScanned, 1u);
    EXPECT_EQ(one.scanner.stats.repairs, 1u);
    EXPECT_EQ(nt::ReadBytes(outside / "dir/out.exe"), image);
    EXPECT_EQ(nt::ReadBytes(outside / "file.exe"), image);
    EXPECT_TRUE(nt::fs::is_symlink(tree / "out-file.exe"));
    if (!mounted) GTEST_SKIP() << "mounting is not permitted here (" << mountError << "): links only";
    EXPECT_EQ(nt::ReadBytes(tree / "mnt/inner.exe"), image);

    Scan across({.crossFilesystems = true});
    ASSERT_TRUE(across.scanner.ScanTree(tree.path()));
    EXPECT_EQ(across.scanner.stats.filesScanned, 2u);
    EXPECT_EQ(across.scanner.stats.repairs, 1u);
    EXPECT_NE(nt::ReadBytes(tree / "mnt/inner.exe"), image);
}

TEST(Program, ExitCodes) {
    nt::TempTree tree;
    ASSERT_TRUE(nt::WriteBytes(tree / "clean/a.exe", samples::MakeCleanHost({.seed = 60})));
    ASSERT_TRUE(nt::WriteBytes(tree / "fixable/a.exe", Infected(61)));
    ASSERT_TRUE(nt::WriteBytes(tree / "broken/a.exe",
                               samples::MakeInfected(samples::MakeCleanHost({.seed = 62}),
                                                     {.seed = 63, .form = samples::BodyForm::TwoLayer,
                                                      .twoLayerOperation = 0x33})));
    nt::fs::create_directories(tree / "fix");
    const struct {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{tree / "clean"}, 0},
        // Excluded: a folder and a file; "fix" is only the start of a name.
        {{"--exclude=" + tree / "broken", "--exclude=" + tree / "fixable/a.exe", tree.path()}, 0},
        {{"--exclude=" + tree / "broken", "--exclude=" + tree / "fix", tree.path()}, 1},
        {{tree / "fixable"}, 0},   // cleaned by the run before
        {{tree / "broken"}, 2},
        {{tree / "missing"}, 3},
        {{"--no-such-option", tree / "clean"}, 3},
        {{"--jobs=0", tree / "clean"}, 3},
        {{}, 3},
        {{"--log=" + tree / "no/such/dir/log", tree / "clean"}, 3},
        {{"--help"}, 0},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        EXPECT_EQ(nt::RunProgram(c.args).exitCode, c.code) << shown;
    }
}

// A file cut short under its mapping: the read faults, the verdict is clean,
// and the next detection works as before.
TEST(Detect, FileThatShrinksUnderTheMappingIsClean) {
    nt::TempTree tree;
    const Bytes image = Infected(90);
    ASSERT_TRUE(nt::WriteBytes(tree / "a.exe", image));
    bool unreadable = true;
    ASSERT_EQ(native::DetectFile(tree / "a.exe", unreadable), 1);
    EXPECT_FALSE(unreadable);

    posix::UniqueFd fd(::open((tree / "a.exe").c_str(), O_RDWR));
    ASSERT_TRUE(fd);
    posix::Mapping view(::mmap(nullptr, image.size(), PROT_READ, MAP_SHARED, fd.get(), 0), image.size());
    ASSERT_TRUE(view);
    ASSERT_EQ(::ftruncate(fd.get(), 0), 0);
    EXPECT_EQ(native::DetectImage(view.data(), view.size()), 0);
    EXPECT_EQ(native::DetectImage(image.data(), image.size()), 1);
}

TEST(Log, ControlCharactersInNamesCannotForgeLines) {
    nt::TempTree tree;
    const std::string name = "a.exe: File repaired.\nb.exe";
    ASSERT_TRUE(nt::WriteBytes(tree / name, Infected(97)));
    Scan scan;
    ASSERT_TRUE(scan.scanner.ScanTree(tree.path()));
    EXPECT_EQ(scan.scanner.stats.repairs, 1u);
    EXPECT_EQ(Count(scan.capture.text, tree / "a.exe: File repaired.?b.exe: File repaired.\r\n"), 1u)
        << scan.capture.text;
    // Every line feed ends a line, or is the one the repair's attempt text holds.
    const std::string& log = scan.capture.text;
    EXPECT_EQ(Count(log, "\n"), Count(log, "\r\n") + Count(log, "Attempting to repair the virus\n"));
}

// Without its quarantine copy a file is not changed.
TEST(Quarantine, NoCopyNoChange) {
    nt::TempTree tree;
    const Bytes image = Infected(99);
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", image));
    ASSERT_TRUE(nt::WriteBytes(tree / "t/threat.dll", samples::MakeThreatFile({.build = 2})));
    ASSERT_TRUE(nt::WriteBytes(tree / "blocker", {'x'}));
    Scan scan({.quarantineDir = tree / "blocker/q"});
    ASSERT_TRUE(scan.scanner.ScanTree(tree / "t"));
    EXPECT_EQ(nt::ReadBytes(tree / "t/a.exe"), image);
    EXPECT_TRUE(nt::fs::exists(tree / "t/threat.dll"));
    EXPECT_EQ(Count(scan.capture.text, ": (WARNING: not changed, the quarantine copy could not be made)\r\n"), 2u);
    EXPECT_EQ(native::StatusOf(scan.scanner.stats, scan.scanner.notCleaned, scan.scanner.ioErrors),
              native::ExitStatus::NotAllCleaned);
}

}  // namespace
