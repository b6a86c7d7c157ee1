#include "scan/detect_core.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

TEST(DetectInfection, ShortAndForeignFilesAreClean) {
    EXPECT_EQ(DetectInfection(nullptr, 100), 0);
    EXPECT_EQ(Verdict({}), 0);
    EXPECT_EQ(Verdict({'M'}), 0);
    EXPECT_EQ(Verdict(Bytes(63, 'M')), 0);
    Bytes mz(63, 0);
    mz[0] = 'M', mz[1] = 'Z';
    EXPECT_EQ(Verdict(mz), 0);  // no room for the PE header offset
    Bytes threat = MakeThreatFile({});
    threat[0] = 'Z';
    EXPECT_EQ(Verdict(threat), 0);
}

TEST(DetectInfection, HeaderOffsetsOutsideTheImageAreClean) {
    for (uint32_t h : {0x10000u, 0xFFFFFFF0u, 0xFFFFFF08u}) {
        Bytes image = Host();
        PutU32(image, 0x3C, h);
        EXPECT_EQ(Verdict(image), 0) << std::hex << h;
    }
    // A section table that runs past the end of the file.
    Bytes infected = InfectedWith({}).image;
    PutU16(infected, 0x46, 0xFFFF);
    EXPECT_EQ(Verdict(infected), 0);
}

TEST(DetectInfection, CleanHostsAreClean) {
    for (uint32_t seed = 1; seed <= 20; ++seed) EXPECT_EQ(Verdict(Host(seed, 1 + seed % 8)), 0) << seed;
    EXPECT_EQ(Verdict(NormalizeHost(Host())), 0);
}

TEST(DetectInfection, RealProgramsAreClean) {
    if (!std::filesystem::is_directory(kWinePeDir)) GTEST_SKIP() << "no PE files at " << kWinePeDir;
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kWinePeDir)) {
        const Bytes image = ReadFileBytes(entry.path().string());
        if (image.size() < 2 || image[0] != 'M' || image[1] != 'Z') continue;
        EXPECT_EQ(Verdict(image), 0) << entry.path();
        EXPECT_EQ(Verdict(NormalizeHost(image)), 0) << entry.path();
        ++checked;
    }
    EXPECT_GT(checked, 100);
}

TEST(DetectInfection, ThreatFileBuilds) {
    for (int build : {1, 2}) {
        ThreatFileOptions o;
        o.build = build;
        EXPECT_EQ(Verdict(MakeThreatFile(o)), 2) << build;
        o.peOffset = 0x80;  // these builds need no "PE" at 0x40
        EXPECT_EQ(Verdict(MakeThreatFile(o)), 2) << build;
        o.peOffset = 0x40;
        o.withVCab = false;
        EXPECT_EQ(Verdict(MakeThreatFile(o)), 0) << build;
        o.withVCab = true;
        o.withMarker = false;
        EXPECT_EQ(Verdict(MakeThreatFile(o)), 0) << build;
        o.withMarker = true;
        o.markerBuild = 3 - build;  // headers of one build, markers of the other
        EXPECT_EQ(Verdict(MakeThreatFile(o)), 0) << build;
    }
    // Headers that match but a marker beyond the end of the file.
    const Bytes full = MakeThreatFile({});
    EXPECT_EQ(Verdict(Bytes(full.begin(), full.begin() + 0x16A7)), 0);
    EXPECT_EQ(Verdict(Bytes(full.begin(), full.begin() + 0x16A8)), 2);
}

TEST(DetectInfection, PackedFormNeedsAListedCrc) {
    const uint32_t listed[] = {0x0F3FD3EE, 0x1D2FE568, 0x24C14399, 0x4F914C86, 0x50DBE26B,
                               0x5CBBED21, 0xAFE02688, 0xB05714DA, 0xBEC084FC, 0xD3F1D53D};
    PackedOptions o;
    for (uint32_t crc : listed) {
        o.crc = crc;
        EXPECT_EQ(Verdict(MakePackedThreat(o)), 2) << std::hex << crc;
        EXPECT_EQ(Verdict(MakeDropper(o)), 0) << std::hex << crc;
    }
    o.crc = 0x0F3FD3EF;
    EXPECT_EQ(Verdict(MakePackedThreat(o)), 0);
    // The CRC covers 0x3000 bytes; a shorter file with matching headers is clean.
    o.crc = listed[0];
    Bytes shortFile = MakePackedThreat(o);
    shortFile.resize(0x2FFF);
    EXPECT_EQ(Verdict(shortFile), 0);
}

TEST(DetectInfection, PackedFormRangesAreInclusive) {
    PackedOptions o;
    o.crc = 0x50DBE26B;
    const struct {
        uint32_t entry, image;
        int verdict;
    } cases[] = {{0x10000, 0x17000, 2}, {0x10500, 0x19000, 2}, {0x10500, 0x17000, 2},
                 {0xFFFF, 0x18000, 0},  {0x10501, 0x18000, 0}, {0x10200, 0x16FFF, 0},
                 {0x10200, 0x19001, 0}};
    for (const auto& c : cases) {
        o.entryPoint = c.entry;
        o.sizeOfImage = c.image;
        EXPECT_EQ(Verdict(MakePackedThreat(o)), c.verdict) << std::hex << c.entry << " " << c.image;
    }
}

TEST(DetectInfection, DropperNeedsAListedCrcAndItsRanges) {
    PackedOptions o;
    for (uint32_t crc : {0x3397E5B7u, 0x525FB65Au, 0x56A93D36u, 0x8B2B2F2Fu, 0xEF4A3E1Cu}) {
        o.crc = crc;
        EXPECT_EQ(Verdict(MakeDropper(o)), 3) << std::hex << crc;
        EXPECT_EQ(Verdict(MakePackedThreat(o)), 0) << std::hex << crc;
    }
    o.crc = 0x3397E5B7;
    const struct {
        uint32_t entry, image;
        int verdict;
    } cases[] = {{0x1A000, 0x27000, 3}, {0x1D000, 0x2B000, 3}, {0x19FFF, 0x28000, 0},
                 {0x1D001, 0x28000, 0}, {0x1B000, 0x26FFF, 0}, {0x1B000, 0x2B001, 0}};
    for (const auto& c : cases) {
        o.entryPoint = c.entry;
        o.sizeOfImage = c.image;
        EXPECT_EQ(Verdict(MakeDropper(o)), c.verdict) << std::hex << c.entry << " " << c.image;
    }
    o = {};
    o.crc = 0xEF4A3E1D;
    EXPECT_EQ(Verdict(MakeDropper(o)), 0);
}

TEST(DetectInfection, MatchingPackedShapeEndsTheTestsEvenForAnInfectedTail) {
    PackedOptions o;
    o.infectedTail = true;
    o.crc = 0x12345678;
    Bytes packed = MakePackedThreat(o);
    ASSERT_FALSE(packed.empty());
    EXPECT_EQ(Verdict(packed), 0);
    // The same file outside the packed ranges is an infected host.
    PutU32(packed, 0x40 + 0x28, 0x10501);
    EXPECT_EQ(Verdict(packed), 1);
    o.crc = 0xB05714DA;
    EXPECT_EQ(Verdict(MakePackedThreat(o)), 2);
    o.crc = 0x12345678;
    Bytes dropper = MakeDropper(o);
    ASSERT_FALSE(dropper.empty());
    EXPECT_EQ(Verdict(dropper), 0);
    PutU32(dropper, 0x40 + 0x50, 0x2B001);
    EXPECT_EQ(Verdict(dropper), 1);
}

TEST(DetectInfection, InfectedHostsInBothFormsWithVariedDecryptors) {
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        InfectOptions o;
        o.seed = seed;
        o.form = seed % 2 ? BodyForm::OneLayer : BodyForm::TwoLayer;
        o.counterRegister = static_cast<int>(seed % 6);
        o.jump = seed % 3 == 0 ? JumpKind::Far : JumpKind::Near;
        EXPECT_EQ(Verdict(InfectedWith(o, seed).image), 1) << seed;
    }
}

TEST(DetectInfection, InfectedHostHeaderConditions) {
    const InfectedSample s = InfectedWith({});
    const uint32_t n = GetU16(s.image, 0x46);
    auto with = [&](auto change) {
        Bytes image = s.image;
        change(image);
        return Verdict(image);
    };
    EXPECT_EQ(with([](Bytes& b) { b[0x41] = 'X'; }), 0);  // "PE" not at 0x40
    EXPECT_EQ(with([&](Bytes& b) { SetSectionField(b, n - 1, kSecSizeOfRawData, 1); }), 0);
    EXPECT_EQ(with([&](Bytes& b) { SetSectionField(b, n - 1, kSecPointerToRawData, 0x1FF); }), 0);
    EXPECT_EQ(with([&](Bytes& b) { SetSectionField(b, n - 1, kSecPointerToRawData, 0x200); }), 1);
    EXPECT_EQ(with([&](Bytes& b) { SetSectionField(b, n - 1, kSecCharacteristics, 0xE0000040); }), 0);
    EXPECT_EQ(with([&](Bytes& b) { SetSectionField(b, n - 2, kSecCharacteristics, 0x60000020); }), 0);
}

TEST(DetectInfection, PrevSectionSizeBoundsAreExclusive) {
    const struct {
        uint32_t size;
        int verdict;
    } cases[] = {{0x4000, 0}, {0x4001, 1}, {0xBFFF, 1}, {0xC000, 0}};
    for (const auto& c : cases) {
        InfectOptions o;
        o.prevRawSize = c.size;
        EXPECT_EQ(Verdict(InfectedWith(o).image), c.verdict) << std::hex << c.size;
    }
}

TEST(DetectInfection, PrevSectionEndingBeyondTheFileIsClean) {
    const InfectedSample s = InfectedWith({});
    for (size_t cut = 1; cut <= 8; ++cut) {
        Bytes image = s.image;
        image.resize(image.size() - cut);
        EXPECT_EQ(Verdict(image), 0) << cut;
    }
    Bytes longer = s.image;
    const uint32_t prev = GetU16(longer, 0x46) - 2;
    SetSectionField(longer, prev, kSecSizeOfRawData, s.sectionSize + 1);
    EXPECT_EQ(Verdict(longer), 0);
}

TEST(DetectInfection, DecryptorSearchBounds) {
    InfectOptions o;
    o.compareDistance = 1999;
    EXPECT_EQ(Verdict(InfectedWith(o).image), 1);
    o.compareDistance = 2000;
    EXPECT_EQ(Verdict(InfectedWith(o).image), 0);
    o = {};
    o.jumpOffset = 34;
    EXPECT_EQ(Verdict(InfectedWith(o).image), 1);
    o.jumpOffset = 35;
    EXPECT_EQ(Verdict(InfectedWith(o).image), 0);
}

TEST(DetectInfection, ThreeJunkPatternsAreNeeded) {
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        InfectOptions o;
        o.seed = seed;
        for (int count : {0, 2, 3}) {
            o.junkCount = count;
            EXPECT_EQ(Verdict(InfectedWith(o).image), count >= 3 ? 1 : 0) << seed << " " << count;
        }
    }
}

TEST(DetectInfection, JunkWindowIsCountedAroundTheCompare) {
    InfectOptions o;
    o.junkCount = 3;   // placed 76..56 bytes before the compare
    o.jumpOffset = 34; // a window around the jump would start 46 bytes before the compare
    EXPECT_EQ(Verdict(InfectedWith(o).image), 1);

    o.junkCount = 2;
    o.jumpOffset = -1;
    o.compareDistance = 1000;
    const InfectedSample s = InfectedWith(o);
    ASSERT_EQ(Verdict(s.image), 0);
    auto withFwaitAt = [&](uint32_t at) {
        Bytes image = s.image;
        EXPECT_TRUE(at < s.compare || at > s.closingJump + 4) << "must patch filler";
        image[at] = 0x9B;
        return Verdict(image);
    };
    EXPECT_EQ(withFwaitAt(s.compare - 80), 1);
    EXPECT_EQ(withFwaitAt(s.compare - 81), 0);
    EXPECT_EQ(withFwaitAt(s.compare + 299), 1);
    EXPECT_EQ(withFwaitAt(s.compare + 300), 0);
}

TEST(DetectInfection, JunkWindowStopsSixBytesBeforeTheEndOfTheFile) {
    InfectOptions o;
    o.junkCount = 2;
    o.compareDistance = 120;
    const InfectedSample s = InfectedWith(o);
    ASSERT_EQ(Verdict(s.image), 0);
    ASSERT_LT(s.closingJump + 5, s.image.size() - 7);
    Bytes image = s.image;
    image[image.size() - 7] = 0x9B;
    EXPECT_EQ(Verdict(image), 1);
    image = s.image;
    image[image.size() - 6] = 0x9B;
    EXPECT_EQ(Verdict(image), 0);
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
