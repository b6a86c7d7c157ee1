#include "scan/detect_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/samples/sample_factory_core.h"

namespace {

using namespace samples;

int Verdict(const Bytes& image) { return DetectInfection(image.empty() ? nullptr : image.data(), image.size()); }

const char* const kWinePeDir = "/usr/lib/i386-linux-gnu/wine/i386-windows";

Bytes Host(uint32_t seed = 1, uint32_t sections = 3) {
    HostOptions o;
    o.seed = seed;
    o.sections = sections;
    return MakeCleanHost(o);
}

InfectedSample InfectedWith(InfectOptions o, uint32_t hostSeed = 1) {
    InfectedSample s = Infect(Host(hostSeed), o);
    EXPECT_FALSE(s.image.empty()) << s.error;
    return s;
}

TEST(Crc32Update, IsTheComplementOfTheStandardCrc) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(Crc32Update(0xFFFFFFFFu, abc, 3), 0xCADBBE3Du);
    EXPECT_EQ(Crc32Update(Crc32Update(0xFFFFFFFFu, abc, 1), abc + 1, 2), 0xCADBBE3Du);
    EXPECT_EQ(Crc32Update(0x12345678u, abc, 0), 0x12345678u);
}

// Samples of the factory with the verdict detection must give each: clean
// programs, the threat's files and droppers of every build, hosts infected in
// both forms with varied decryptors, and the edges of every condition.
struct Scenario {
    std::string name;
    Bytes image;
    int verdict;
};

template <class Change>
Bytes Changed(Bytes image, Change change) {
    change(image);
    return image;
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> t;
    auto add = [&](std::string name, Bytes image, int verdict) {
        t.push_back({std::move(name), std::move(image), verdict});
    };
    auto hex = [](uint32_t v) {
        char b[12];
        std::snprintf(b, sizeof b, "%X", v);
        return std::string(b);
    };

    // Short and foreign files.
    add("empty", {}, 0);
    add("M", {'M'}, 0);
    add("63 M", Bytes(63, 'M'), 0);
    add("MZ without room for the PE offset", Changed(Bytes(63, 0), [](Bytes& b) { b[0] = 'M', b[1] = 'Z'; }), 0);
    add("threat file without MZ", Changed(MakeThreatFile({}), [](Bytes& b) { b[0] = 'Z'; }), 0);
    for (uint32_t h : {0x10000u, 0xFFFFFFF0u, 0xFFFFFF08u})
        add("PE offset " + hex(h), Changed(Host(), [&](Bytes& b) { PutU32(b, 0x3C, h); }), 0);

    // Clean programs.
    for (uint32_t seed = 1; seed <= 20; ++seed) add("host " + std::to_string(seed), Host(seed, 1 + seed % 8), 0);
    add("normalized host", NormalizeHost(Host()), 0);

    // The threat's own files: both builds, with each mark missing or mixed.
    for (int build : {1, 2}) {
        const std::string b = "build " + std::to_string(build);
        add(b, MakeThreatFile({.build = build}), 2);
        add(b + ", PE at 0x80", MakeThreatFile({.build = build, .peOffset = 0x80}), 2);  // no "PE" needed at 0x40
        add(b + " without VCAB", MakeThreatFile({.build = build, .withVCab = false}), 0);
        add(b + " without marker", MakeThreatFile({.build = build, .withMarker = false}), 0);
        add(b + " with the other's markers", MakeThreatFile({.build = build, .markerBuild = 3 - build}), 0);
    }
    const Bytes full = MakeThreatFile({});
    add("threat file cut before its marker's end", Bytes(full.begin(), full.begin() + 0x16A7), 0);
    add("threat file ending with its marker", Bytes(full.begin(), full.begin() + 0x16A8), 2);

    // Packed files and droppers: every build, and each form's CRCs only for that form.
    for (uint32_t crc : kPackedThreatCrcs) {
        add("packed " + hex(crc), MakePackedThreat({.crc = crc}), 2);
        add("dropper with packed CRC " + hex(crc), MakeDropper({.crc = crc}), 0);
    }
    for (uint32_t crc : kDropperCrcs) {
        add("dropper " + hex(crc), MakeDropper({.crc = crc}), 3);
        add("packed with dropper CRC " + hex(crc), MakePackedThreat({.crc = crc}), 0);
    }
    add("packed, CRC off by one", MakePackedThreat({.crc = kPackedThreatCrcs[0] + 1}), 0);
    add("dropper, CRC off by one", MakeDropper({.crc = kDropperCrcs.back() + 1}), 0);
    // The CRC covers 0x3000 bytes; a shorter file with matching headers is clean.
    add("packed, shorter than the CRC span",
        Changed(MakePackedThreat({.crc = kPackedThreatCrcs[0]}), [](Bytes& b) { b.resize(0x2FFF); }), 0);
    // Entry point and image size ranges, inclusive.
    const struct { uint32_t entry, image; int verdict; } packedRanges[] = {
        {0x10000, 0x17000, 2}, {0x10500, 0x19000, 2}, {0x10500, 0x17000, 2}, {0xFFFF, 0x18000, 0},
        {0x10501, 0x18000, 0}, {0x10200, 0x16FFF, 0}, {0x10200, 0x19001, 0}};
    for (const auto& r : packedRanges)
        add("packed at " + hex(r.entry) + " " + hex(r.image),
            MakePackedThreat({.crc = kPackedThreatCrcs[4], .entryPoint = r.entry, .sizeOfImage = r.image}), r.verdict);
    const struct { uint32_t entry, image; int verdict; } dropperRanges[] = {
        {0x1A000, 0x27000, 3}, {0x1D000, 0x2B000, 3}, {0x19FFF, 0x28000, 0},
        {0x1D001, 0x28000, 0}, {0x1B000, 0x26FFF, 0}, {0x1B000, 0x2B001, 0}};
    for (const auto& r : dropperRanges)
        add("dropper at " + hex(r.entry) + " " + hex(r.image),
            MakeDropper({.crc = kDropperCrcs[0], .entryPoint = r.entry, .sizeOfImage = r.image}), r.verdict);
    // A matching packed shape ends the tests, even over a complete infected tail;
    // outside the ranges the same file is an infected host.
    const Bytes packedTail = MakePackedThreat({.crc = 0x12345678, .infectedTail = true});
    add("packed shape, unlisted CRC, infected tail", packedTail, 0);
    add("infected tail, entry out of the packed range",
        Changed(packedTail, [](Bytes& b) { PutU32(b, 0x40 + 0x28, 0x10501); }), 1);
    add("packed, listed CRC, infected tail", MakePackedThreat({.crc = kPackedThreatCrcs[7], .infectedTail = true}), 2);
    const Bytes dropperTail = MakeDropper({.crc = 0x12345678, .infectedTail = true});
    add("dropper shape, unlisted CRC, infected tail", dropperTail, 0);
    add("infected tail, image out of the dropper range",
        Changed(dropperTail, [](Bytes& b) { PutU32(b, 0x40 + 0x50, 0x2B001); }), 1);

    // Infected hosts in both forms with varied decryptors.
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        InfectOptions o;
        o.seed = seed;
        o.form = seed % 2 ? BodyForm::OneLayer : BodyForm::TwoLayer;
        o.counterRegister = static_cast<int>(seed % 6);
        o.jump = seed % 3 == 0 ? JumpKind::Far : JumpKind::Near;
        add("infected " + std::to_string(seed), InfectedWith(o, seed).image, 1);
    }
    const InfectedSample twice = InfectedWith({.seed = 7, .form = BodyForm::TwoLayer}, 3);
    add("doubly infected", MakeInfected(twice.image, {.seed = 8}), 1);

    // Header conditions of an infected host.
    const InfectedSample s = InfectedWith({});
    const uint32_t n = GetU16(s.image, 0x46);
    add("section table past the end", Changed(s.image, [](Bytes& b) { PutU16(b, 0x46, 0xFFFF); }), 0);
    add("PE not at 0x40", Changed(s.image, [](Bytes& b) { b[0x41] = 'X'; }), 0);
    auto withField = [&](uint32_t section, uint32_t field, uint32_t value) {
        return Changed(s.image, [&](Bytes& b) { SetSectionField(b, section, field, value); });
    };
    add("last section of 1 byte", withField(n - 1, kSecSizeOfRawData, 1), 0);
    add("last section at 0x1FF", withField(n - 1, kSecPointerToRawData, 0x1FF), 0);
    add("last section at 0x200", withField(n - 1, kSecPointerToRawData, 0x200), 1);
    add("last section not the threat's", withField(n - 1, kSecCharacteristics, 0xE0000040), 0);
    add("code section not the threat's", withField(n - 2, kSecCharacteristics, 0x60000020), 0);
    add("code section longer than the file", withField(n - 2, kSecSizeOfRawData, s.sectionSize + 1), 0);
    for (size_t cut = 1; cut <= 8; ++cut)
        add("file cut " + std::to_string(cut) + " short", Bytes(s.image.begin(), s.image.end() - cut), 0);
    // The code section's size bounds are exclusive.
    const struct { uint32_t size; int verdict; } sizes[] = {{0x4000, 0}, {0x4001, 1}, {0xBFFF, 1}, {0xC000, 0}};
    for (const auto& c : sizes)
        add("code section of " + hex(c.size), InfectedWith({.prevRawSize = c.size}).image, c.verdict);

    // The decryptor's search bounds and its junk.
    add("compare 1999 from the end", InfectedWith({.compareDistance = 1999}).image, 1);
    add("compare 2000 from the end", InfectedWith({.compareDistance = 2000}).image, 0);
    add("jump 34 after the compare", InfectedWith({.jumpOffset = 34}).image, 1);
    add("jump 35 after the compare", InfectedWith({.jumpOffset = 35}).image, 0);
    for (uint32_t seed = 1; seed <= 30; ++seed)
        for (int count : {0, 2, 3})
            add(std::to_string(count) + " junk, seed " + std::to_string(seed),
                InfectedWith({.seed = seed, .junkCount = count}).image, count >= 3 ? 1 : 0);
    // The junk window lies around the compare, not the jump: 3 junk 76..56 bytes
    // before the compare, a jump far enough that a window around it would miss them.
    add("junk counted around the compare", InfectedWith({.jumpOffset = 34, .junkCount = 3}).image, 1);
    const InfectedSample two = InfectedWith({.compareDistance = 1000, .jumpOffset = -1, .junkCount = 2});
    add("2 junk", two.image, 0);
    auto withFwaitAt = [&](const InfectedSample& x, size_t at) {
        EXPECT_TRUE(at < x.compare || at > x.closingJump + 4) << "must patch filler";
        return Changed(x.image, [&](Bytes& b) { b[at] = 0x9B; });
    };
    add("third junk 80 before the compare", withFwaitAt(two, two.compare - 80), 1);
    add("third junk 81 before the compare", withFwaitAt(two, two.compare - 81), 0);
    add("third junk 299 after the compare", withFwaitAt(two, two.compare + 299), 1);
    add("third junk 300 after the compare", withFwaitAt(two, two.compare + 300), 0);
    // The window stops 6 bytes before the end of the file.
    const InfectedSample near = InfectedWith({.compareDistance = 120, .junkCount = 2});
    EXPECT_LT(near.closingJump + 5, near.image.size() - 7);
    add("2 junk near the end", near.image, 0);
    add("third junk 7 before the end", withFwaitAt(near, near.image.size() - 7), 1);
    add("third junk 6 before the end", withFwaitAt(near, near.image.size() - 6), 0);
    return t;
}

// What the scan does with a file it does not map: the head, then windows of
// the file around each byte the tests lack, as many as the table holds.
PartialVerdict ThroughWindows(const Bytes& image, size_t head, int& windows) {
    ImageRanges ranges(image.size());
    ranges.Add(0, image.data(), std::min(head, image.size()));
    windows = 0;
    PartialVerdict v = DetectInRanges(ranges);
    while (!v.decided && ranges.count() < ImageRanges::kMaxRanges) {
        const uint64_t from = v.missing > 4096 ? (v.missing - 4096) & ~uint64_t{511} : 0;
        const uint64_t to = std::min<uint64_t>(image.size(), v.missing + 16384);
        ranges.Add(from, image.data() + from, static_cast<size_t>(to - from));
        ++windows;
        v = DetectInRanges(ranges);
    }
    return v;
}

TEST(DetectInfection, EveryScenarioGetsItsVerdict) {
    EXPECT_EQ(DetectInfection(nullptr, 100), 0);
    for (const Scenario& s : Scenarios()) {
        EXPECT_FALSE(s.image.empty() && s.name != "empty") << s.name << ": the factory made nothing";
        EXPECT_EQ(Verdict(s.image), s.verdict) << s.name;
        // A head that decides gives the verdict of the whole image; a head
        // holding the whole file always decides.
        for (size_t head : {size_t{0}, size_t{2}, size_t{64}, size_t{512}, kScanHeadBytes, size_t{0x3000}}) {
            const PartialVerdict h = DetectFromHead(s.image.data(), std::min(head, s.image.size()), s.image.size());
            if (h.decided) EXPECT_EQ(h.verdict, s.verdict) << s.name << ", head " << head;
            if (head >= s.image.size()) EXPECT_TRUE(h.decided) << s.name << ", head " << head;
            if (!h.decided) EXPECT_LT(h.missing, s.image.size()) << s.name << ", head " << head;
            // A few windows decide every file, as the whole image does.
            int windows = 0;
            const PartialVerdict w = ThroughWindows(s.image, head, windows);
            EXPECT_TRUE(w.decided) << s.name << ", head " << head;
            EXPECT_EQ(w.verdict, s.verdict) << s.name << ", head " << head;
            EXPECT_LE(windows, 3) << s.name << ", head " << head;
        }
    }
}

// The head alone decides the files a scan meets nearly always: programs that
// are no candidates, and everything that is not a program.
TEST(DetectFromHead, DecidesNonCandidatesWithoutMore) {
    std::vector<Bytes> files = {Bytes(5000, 'q'), Bytes(1 << 20, 0), NormalizeHost(Host()), Host(2, 8)};
    Bytes mzText(100000, 'x');
    mzText[0] = 'M', mzText[1] = 'Z';
    files.push_back(mzText);
    for (const Bytes& f : files) {
        const PartialVerdict h = DetectFromHead(f.data(), std::min(f.size(), kScanHeadBytes), f.size());
        EXPECT_TRUE(h.decided) << f.size();
        EXPECT_EQ(h.verdict, 0);
    }
    // An infected host needs the end of the threat's section, far past the head.
    const InfectedSample s = InfectedWith({});
    const PartialVerdict h = DetectFromHead(s.image.data(), kScanHeadBytes, s.image.size());
    ASSERT_FALSE(h.decided);
    const uint64_t end = uint64_t{s.sectionStart} + s.sectionSize - 3;   // the compare the search tries first
    EXPECT_GE(h.missing, end);
    EXPECT_LE(h.missing, end + 2);
    // A byte past the end of the file is no byte missing: the file is clean.
    const PartialVerdict cut = DetectFromHead(s.image.data(), 0x40, 0x40);
    EXPECT_TRUE(cut.decided);
    EXPECT_EQ(cut.verdict, 0);
}

TEST(DetectInfection, RealProgramsAreClean) {
    if (!std::filesystem::is_directory(kWinePeDir)) GTEST_SKIP() << "no PE files at " << kWinePeDir;
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kWinePeDir)) {
        const Bytes image = ReadFileBytes(entry.path().string());
        if (image.size() < 2 || image[0] != 'M' || image[1] != 'Z') continue;
        EXPECT_EQ(Verdict(image), 0) << entry.path();
        // Decided by the head: the scan maps none of them.
        const PartialVerdict head = DetectFromHead(image.data(), std::min(image.size(), kScanHeadBytes), image.size());
        EXPECT_TRUE(head.decided && head.verdict == 0) << entry.path();
        EXPECT_EQ(Verdict(NormalizeHost(image)), 0) << entry.path();
        ++checked;
    }
    EXPECT_GT(checked, 100);
}

TEST(HasExeSuffix, DotExactLettersInAnyCase) {
    EXPECT_TRUE(HasExeSuffix("a.exe", 5));
    EXPECT_TRUE(HasExeSuffix("C:\\DIR\\A.EXE", 12));
    EXPECT_TRUE(HasExeSuffix(L"x.ExE", 5));
    EXPECT_FALSE(HasExeSuffix(".exe", 4));
    EXPECT_FALSE(HasExeSuffix("a_exe", 5));
    EXPECT_FALSE(HasExeSuffix("a.exe ", 6));
    EXPECT_FALSE(HasExeSuffix("a.dll", 5));
    EXPECT_FALSE(HasExeSuffix(static_cast<const char*>(nullptr), 0));
}

}  // namespace
