// The readers' reads handed to the kernel together: they bring the heads of
// files that are not in memory into it, and a tree whose files are not in
// memory gives the same log through them as one read at a time.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "linux/head_ring.h"
#include "linux/tree_scan.h"
#include "linux/unique_fd.h"
#include "tests/samples/sample_set_core.h"
#include "tests/support/log_capture.h"
#include "tests/support/native_support.h"

namespace {

using nt::Bytes;

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

// The sample set and enough clean files for many batches, none of them in
// memory: detection meets the disk at once, the readers take the walk's files.
TEST(HeadRing, TreeNotInMemoryGivesTheSameLog) {
    if (!native::HeadRing::Make(1)) GTEST_SKIP() << "no io_uring in this build or kernel";
    samples::SampleSet set = samples::BuildSampleSet(samples::MakeCleanHost({.seed = 9, .sections = 3}), "prog",
                                                     samples::MakeCleanHost({.seed = 10, .sections = 4}), "system.exe");
    ASSERT_TRUE(set.error.empty()) << set.error;
    const auto make = [&](const nt::TempTree& tree) {
        std::vector<std::string> paths;
        for (const samples::SetSample& s : set.samples) paths.push_back(tree / s.name);
        for (size_t i = 0; i < set.samples.size(); ++i) EXPECT_TRUE(nt::WriteBytes(paths[i], set.samples[i].image));
        for (int i = 0; i < 1200; ++i) {
            paths.push_back(tree / ("pad" + std::to_string(i % 9) + "/" + std::to_string(i) + ".exe"));
            EXPECT_TRUE(nt::WriteBytes(paths.back(), samples::MakeCleanHost({.seed = uint32_t(i % 40), .sections = uint32_t(1 + i % 8)})));
        }
        paths.push_back(tree / "pad2/large.exe");
        EXPECT_TRUE(nt::WriteBytes(paths.back(), nt::Infected(77, 0x140000)));
        return paths;
    };
    const auto scan = [](const std::string& root, native::ScanSettings settings) {
        RunLog log;
        testsupport::LogCapture capture(log);
        native::TreeScanner scanner(BuiltInDefinition(), settings, log);
        EXPECT_TRUE(scanner.ScanTree(root));
        std::string text = capture.text;
        for (size_t at; (at = text.find(root)) != std::string::npos;) text.replace(at, root.size(), "ROOT");
        return std::make_pair(text, scanner.stats.filesScanned);
    };
    nt::TempTree one, two;
    make(one);
    const auto expected = scan(one.path(), {.jobs = 1, .readsInFlight = 0});
    ASSERT_NE(expected.first.find("large.exe: File repaired."), std::string::npos);
    for (const std::string& path : make(two))
        if (!Evict(path)) GTEST_SKIP() << "pages cannot be dropped here";
    if (HeadInMemory(two / "pad5/5.exe")) GTEST_SKIP() << "pages cannot be dropped here";
    const auto got = scan(two.path(), {.jobs = 2, .readsInFlight = 16});
    EXPECT_EQ(got.second, expected.second);
    EXPECT_EQ(got.first, expected.first);
    EXPECT_TRUE(nt::Snapshot(two.path()) == nt::Snapshot(one.path()));
}

}  // namespace
