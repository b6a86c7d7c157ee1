// The scanner with many reads in flight: the same log, counters and files as
// one read at a time, whichever files have to wait for the disk; the reads
// really are outstanding together, apart from the detection threads; and
// handed to the kernel together (a ring) they bring the heads into memory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "linux/head_ring.h"
#include "linux/tree_scan.h"
#include "linux/unique_fd.h"
#include "tests/support/native_support.h"
#include "tests/samples/sample_set_core.h"
#include "tests/support/log_capture.h"

namespace {

using nt::Bytes;

// The file an open descriptor stands for.
std::string NameOf(int fd) {
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Stand-ins for the disk: files named "*unreadable*" fail with EIO; a read
// that must not wait fails with EAGAIN for every file (the whole tree is
// cold) or for every other one (some of it is).
enum class Disk { Warm, Cold, Mixed };
std::atomic<Disk> g_disk{Disk::Warm};
std::atomic<unsigned> g_nowaitReads{0};

ssize_t DiskRead(int fd, void* data, size_t size, off_t at, bool nowait) {
    if (NameOf(fd).find("unreadable") != std::string::npos) {
        errno = EIO;
        return -1;
    }
    if (nowait && (g_disk == Disk::Cold || (g_disk == Disk::Mixed && g_nowaitReads++ % 2))) {
        errno = EAGAIN;
        return -1;
    }
    return ::pread(fd, data, size, at);
}
bool DiskInMemory(int, uint64_t) { return g_disk == Disk::Warm; }

struct Result {
    std::string log;
    RemovalStats stats;
    uint32_t ioErrors, notCleaned;
};

// With the stand-ins for the disk, or (no seams) with the disk itself.
Result ScanWith(const std::string& root, native::ScanSettings settings, Disk disk,
                native::ScanSeams seams = {.read = DiskRead, .inMemory = DiskInMemory}) {
    g_disk = disk;
    RunLog log;
    testsupport::LogCapture capture(log);
    native::TreeScanner scanner(BuiltInDefinition(), settings, log, nullptr, seams);
    EXPECT_TRUE(scanner.ScanTree(root));
    return {capture.text, scanner.stats, scanner.ioErrors, scanner.notCleaned};
}

// The sample set (repairs, failed repairs, threat files deleted), a large
// infected program (mapped), a file larger than a reader's buffer, files
// that cannot be read, and enough clean files in several folders for many
// batches, written the same into a tree for each run.
void MakeTree(const samples::SampleSet& set, const std::string& root) {
    for (const samples::SetSample& s : set.samples) ASSERT_TRUE(nt::WriteBytes(root + "/" + s.name, s.image)) << s.name;
    for (int i = 0; i < 1500; ++i)
        ASSERT_TRUE(nt::WriteBytes(root + "/pad" + std::to_string(i % 7) + "/" + std::to_string(i), {'M', 'Z', uint8_t(i)}));
    ASSERT_TRUE(nt::WriteBytes(root + "/pad3/large.exe", nt::Infected(77, 0x140000)));
    ASSERT_TRUE(nt::WriteBytes(root + "/pad4/medium.bin", Bytes(200000, 0x4D)));
    ASSERT_TRUE(nt::WriteBytes(root + "/pad5/unreadable.exe", nt::Infected(78)));
    ASSERT_TRUE(nt::WriteBytes(root + "/pad5/unreadable.dat", {'M', 'Z'}));
}

std::string WithRoot(std::string log, const std::string& from, const std::string& to) {
    for (size_t at; (at = log.find(from)) != std::string::npos;) log.replace(at, from.size(), to);
    return log;
}

samples::SampleSet TreeSamples() {
    return samples::BuildSampleSet(samples::MakeCleanHost({.seed = 9, .sections = 3}), "prog",
                                   samples::MakeCleanHost({.seed = 10, .sections = 4}), "system.exe");
}

TEST(ReadsInFlight, SameLogAsOneReadAtATime) {
    const samples::SampleSet set = TreeSamples();
    ASSERT_TRUE(set.error.empty()) << set.error;
    nt::TempTree one;
    MakeTree(set, one.path());
    const Result expected = ScanWith(one.path(), {.jobs = 1, .readsInFlight = 0}, Disk::Warm);
    // What the tree holds shows in the log at all.
    ASSERT_NE(expected.log.find("large.exe: File repaired."), std::string::npos);
    ASSERT_NE(expected.log.find("unreadable.exe: WARNING: file cannot be opened for scanning"), std::string::npos);
    ASSERT_GT(expected.stats.filesDeleted, 0u);
    ASSERT_GT(expected.stats.repairsFailed, 0u);
    EXPECT_EQ(expected.ioErrors, 2u);
    const auto repaired = nt::Snapshot(one.path());

    const struct {
        const char* name;
        native::ScanSettings settings;
        Disk disk;
    } runs[] = {
        {"all cold, many reads", {.jobs = 4, .readsInFlight = 64}, Disk::Cold},
        {"half cold", {.jobs = 2, .readsInFlight = 16}, Disk::Mixed},
        {"all cold, one reader", {.jobs = 1, .readsInFlight = 1}, Disk::Cold},
        {"warm, detection threads only", {.jobs = 3, .readsInFlight = 0}, Disk::Warm},
    };
    for (const auto& run : runs) {
        nt::TempTree tree;
        MakeTree(set, tree.path());
        const Result got = ScanWith(tree.path(), run.settings, run.disk);
        EXPECT_EQ(got.log, WithRoot(expected.log, one.path(), tree.path())) << run.name;
        EXPECT_EQ(got.stats.filesScanned, expected.stats.filesScanned) << run.name;
        EXPECT_EQ(got.stats.infections, expected.stats.infections) << run.name;
        EXPECT_EQ(got.stats.repairs, expected.stats.repairs) << run.name;
        EXPECT_EQ(got.ioErrors, expected.ioErrors) << run.name;
        EXPECT_EQ(got.notCleaned, expected.notCleaned) << run.name;
        EXPECT_TRUE(nt::Snapshot(tree.path()) == repaired) << run.name;
    }
}

// Drops the file's pages from memory (written out first); false where the
// file system keeps them anyway (tmpfs).
bool Evict(const std::string& path) {
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    if (!fd || ::fdatasync(fd.get()) != 0) return false;
    return ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED) == 0;
}

// Whether the file's first page is in memory.
bool HeadInMemory(const std::string& path) {
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    void* view = fd ? ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd.get(), 0) : MAP_FAILED;
    if (view == MAP_FAILED) return false;
    unsigned char page = 0;
    const bool in = ::mincore(view, 4096, &page) == 0 && (page & 1);
    ::munmap(view, 4096);
    return in;
}

TEST(HeadRing, BringsTheHeadsIntoMemory) {
    auto ring = native::HeadRing::Make(8);
    if (!ring) GTEST_SKIP() << "no io_uring in this build or kernel";
    nt::TempTree tree;
    std::vector<posix::UniqueFd> open;
    std::vector<int> fds;
    for (int i = 0; i < 6; ++i) {
        const std::string path = tree / ("f" + std::to_string(i));
        ASSERT_TRUE(nt::WriteBytes(path, Bytes(20000, uint8_t(i))));
        if (!Evict(path) || HeadInMemory(path)) GTEST_SKIP() << "pages cannot be dropped here";
        open.emplace_back(::open(path.c_str(), O_RDONLY));
        fds.push_back(open.back().get());
    }
    // A descriptor that cannot be read fails alone.
    fds.push_back(::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
    open.emplace_back(fds.back());
    EXPECT_TRUE(ring->Read(fds, 4096));
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(HeadInMemory(tree / ("f" + std::to_string(i)))) << i;
    // More than the ring holds is refused, and the ring goes on.
    EXPECT_FALSE(ring->Read(std::vector<int>(9, fds[0]), 4096));
    EXPECT_TRUE(ring->Read({fds[0]}, 4096));
}

// A ring the kernel refuses (too deep) is none, and closes nothing it did not open.
TEST(HeadRing, RefusedRingClosesNothing) {
    posix::UniqueFd kept(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(kept);
    ASSERT_EQ(::dup2(kept.get(), 0), 0) << "stdin stands in for any descriptor the process holds";
    EXPECT_EQ(native::HeadRing::Make(1u << 20), nullptr);
    EXPECT_NE(::fcntl(0, F_GETFD), -1);
}

// The tree above with none of its files in memory, scanned with the disk
// itself: detection meets the disk at once and the readers, their reads in
// a ring, take the walk's files; the same log as one read at a time.
TEST(HeadRing, TreeNotInMemoryGivesTheSameLog) {
    if (!native::HeadRing::Make(1)) GTEST_SKIP() << "no io_uring in this build or kernel";
    const samples::SampleSet set = TreeSamples();
    ASSERT_TRUE(set.error.empty()) << set.error;
    nt::TempTree one, two;
    MakeTree(set, one.path());
    MakeTree(set, two.path());
    const Result expected = ScanWith(one.path(), {.jobs = 1, .readsInFlight = 0}, Disk::Warm, {});
    ASSERT_NE(expected.log.find("large.exe: File repaired."), std::string::npos);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(two.path()))
        if (entry.is_regular_file() && !Evict(entry.path().string())) GTEST_SKIP() << "pages cannot be dropped here";
    if (HeadInMemory(two / "pad5/5")) GTEST_SKIP() << "pages cannot be dropped here";
    const Result got = ScanWith(two.path(), {.jobs = 2, .readsInFlight = 16}, Disk::Warm, {});
    EXPECT_EQ(got.stats.filesScanned, expected.stats.filesScanned);
    EXPECT_EQ(got.log, WithRoot(expected.log, one.path(), two.path()));
    EXPECT_TRUE(nt::Snapshot(two.path()) == nt::Snapshot(one.path()));
}

// Every read waits a while: with one detection thread, as many are
// outstanding at once as there are readers, and never more.
std::atomic<int> g_inFlight{0}, g_mostInFlight{0};
ssize_t SlowRead(int fd, void* data, size_t size, off_t at, bool nowait) {
    if (nowait) {
        errno = EAGAIN;
        return -1;
    }
    int now = ++g_inFlight;
    for (int most = g_mostInFlight; now > most && !g_mostInFlight.compare_exchange_weak(most, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    --g_inFlight;
    return ::pread(fd, data, size, at);
}

TEST(ReadsInFlight, OutstandingTogetherApartFromDetection) {
    nt::TempTree tree;
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(nt::WriteBytes(tree / ("f" + std::to_string(i)), {'M', 'Z'}));
    for (unsigned readers : {1u, 12u}) {
        g_mostInFlight = 0;
        RunLog log;
        native::TreeScanner scanner(BuiltInDefinition(), {.jobs = 1, .readsInFlight = readers}, log, nullptr,
                                    {.read = SlowRead, .inMemory = [](int, uint64_t) { return false; }});
        ASSERT_TRUE(scanner.ScanTree(tree.path()));
        EXPECT_EQ(scanner.stats.filesScanned, 400u);
        if (readers == 1)
            EXPECT_EQ(g_mostInFlight, 1);
        else
            EXPECT_GE(g_mostInFlight, 8) << "of " << readers;
        EXPECT_LE(g_mostInFlight, int(readers));
    }
}

// Nearly every file is decided by its first 4 KB, and that is all that is
// read of it, in memory or not: clean programs of any shape, a large data
// file. An infected program is still found (its head does not decide it).
std::atomic<uint64_t> g_bytesRead{0};
ssize_t CountingRead(int fd, void* data, size_t size, off_t at, bool nowait) {
    const ssize_t n = DiskRead(fd, data, size, at, nowait);
    if (n > 0) g_bytesRead += static_cast<uint64_t>(n);
    return n;
}

TEST(ReadsInFlight, OnlyTheHeadOfMostFilesIsRead) {
    nt::TempTree tree;
    uint64_t cleanBytes = 0;
    for (uint32_t i = 0; i < 24; ++i) {
        const Bytes host = samples::MakeCleanHost({.seed = 40 + i, .sections = 1 + i % 8, .overlayBytes = 0x3000 * (i % 3)});
        cleanBytes += host.size();
        ASSERT_TRUE(nt::WriteBytes(tree / ("prog" + std::to_string(i) + ".exe"), host));
    }
    ASSERT_TRUE(nt::WriteBytes(tree / "data/big.bin", Bytes(3 << 20, 0x4D)));
    const Bytes infected = nt::Infected(90);
    ASSERT_TRUE(nt::WriteBytes(tree / "data/infected.exe", infected));
    ASSERT_GT(cleanBytes, 25u * 4096);   // reading them whole would show
    const struct {
        native::ScanSettings settings;
        Disk disk;
    } runs[] = {
        {{.dryRun = true, .jobs = 1, .readsInFlight = 0}, Disk::Warm},
        {{.dryRun = true, .jobs = 2, .readsInFlight = 8}, Disk::Warm},
        {{.dryRun = true, .jobs = 2, .readsInFlight = 8}, Disk::Cold},
    };
    for (const auto& run : runs) {
        g_disk = run.disk;
        g_bytesRead = 0;
        RunLog log;
        native::TreeScanner scanner(BuiltInDefinition(), run.settings, log, nullptr,
                                    {.read = CountingRead, .inMemory = DiskInMemory});
        ASSERT_TRUE(scanner.ScanTree(tree.path()));
        EXPECT_EQ(scanner.stats.filesScanned, 26u);
        EXPECT_EQ(scanner.stats.infections, 1u) << static_cast<int>(run.disk);
        // The heads, the infected program whole (its head read twice at most).
        EXPECT_LE(g_bytesRead, 25u * 4096 + infected.size() + 4096) << static_cast<int>(run.disk);
    }
}

// A path left out (the log file in the tree) stays out under any name it
// has, although the walk knows files by their folder entries.
TEST(ReadsInFlight, APathLeftOutUnderEveryName) {
    nt::TempTree tree;
    ASSERT_TRUE(nt::WriteBytes(tree / "run.log", nt::Infected(5)));
    ASSERT_TRUE(nt::WriteBytes(tree / "sub/other.exe", nt::Infected(6)));
    ASSERT_EQ(::link((tree / "run.log").c_str(), (tree / "sub/copy.exe").c_str()), 0);
    ASSERT_EQ(::link((tree / "run.log").c_str(), (tree / "sub/run.log").c_str()), 0);
    RunLog log;
    testsupport::LogCapture capture(log);
    native::TreeScanner scanner(BuiltInDefinition(), {.dryRun = true}, log);
    scanner.SkipPath(tree / "run.log");
    ASSERT_TRUE(scanner.ScanTree(tree.path()));
    EXPECT_EQ(scanner.stats.filesScanned, 1u);
    EXPECT_EQ(nt::Count(capture.text, "infected with"), 1u) << capture.text;
}

}  // namespace
