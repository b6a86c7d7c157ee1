#include "tests/samples/sample_factory_core.h"

#include <gtest/gtest.h>

#include "scan/detect_core.h"

namespace {

using namespace samples;

TEST(SampleFactory, CleanHostIsAConsistentPe) {
    HostOptions o;
    o.sections = 5;
    o.overlayBytes = 100;
    const Bytes host = MakeCleanHost(o);
    const PeInfo pe = ReadPe(host);
    ASSERT_TRUE(pe.valid);
    EXPECT_EQ(pe.peOffset, 0x80u);
    EXPECT_EQ(pe.sections, 5u);
    EXPECT_EQ(pe.sizeOfImage % pe.sectionAlignment, 0u);
    const uint32_t textRva = GetSectionField(host, 0, kSecVirtualAddress);
    const uint32_t textRaw = GetSectionField(host, 0, kSecPointerToRawData);
    ASSERT_GE(pe.entryPoint, textRva);
    const size_t entry = textRaw + pe.entryPoint - textRva;
    EXPECT_EQ(Bytes(host.begin() + entry, host.begin() + entry + 3), (Bytes{0x31, 0xC0, 0xC3}));
    EXPECT_EQ(host.size(), GetSectionField(host, 4, kSecPointerToRawData) +
                               GetSectionField(host, 4, kSecSizeOfRawData) + 100);
    EXPECT_EQ(MakeCleanHost(o), host);
    o.seed = 2;
    EXPECT_NE(MakeCleanHost(o), host);
}

TEST(SampleFactory, NormalizedHostKeepsItsFieldsWithTheHeaderAt40) {
    const Bytes host = MakeCleanHost();
    const Bytes moved = NormalizeHost(host);
    const PeInfo a = ReadPe(host), b = ReadPe(moved);
    ASSERT_TRUE(b.valid);
    EXPECT_EQ(b.peOffset, 0x40u);
    EXPECT_EQ(b.entryPoint, a.entryPoint);
    EXPECT_EQ(b.sizeOfImage, a.sizeOfImage);
    EXPECT_EQ(b.length, a.length);
    for (uint32_t i = 0; i < a.sections; ++i)
        EXPECT_EQ(GetSectionField(moved, i, kSecPointerToRawData), GetSectionField(host, i, kSecPointerToRawData));
    EXPECT_TRUE(std::equal(host.begin() + a.sizeOfHeaders, host.end(), moved.begin() + a.sizeOfHeaders));
    EXPECT_TRUE(NormalizeHost(Bytes(100, 0)).empty());
}

TEST(SampleFactory, InfectedHostRunsTheHostThroughItsStub) {
    const Bytes host = MakeCleanHost();
    const InfectedSample s = Infect(host, {});
    ASSERT_FALSE(s.image.empty()) << s.error;
    const PeInfo pe = ReadPe(s.image);
    EXPECT_EQ(pe.sections, ReadPe(host).sections + 2);
    EXPECT_EQ(pe.entryPoint, s.infectedEntryPoint);
    const uint32_t prev = pe.sections - 2;
    const uint32_t rva = GetSectionField(s.image, prev, kSecVirtualAddress);
    const size_t stub = s.sectionStart + (pe.entryPoint - rva);
    ASSERT_EQ(s.image[stub], 0xE9);
    EXPECT_EQ(pe.entryPoint + 5 + GetU32(s.image, stub + 1), ReadPe(host).entryPoint);
    EXPECT_EQ(GetSectionField(s.image, prev + 1, kSecSizeOfRawData), 0u);
    EXPECT_FALSE(s.operations.empty());
}

TEST(SampleFactory, RefusesHostsWithoutRoomForTwoSectionHeaders) {
    HostOptions o;
    o.peOffset = 0x40;
    Bytes host = MakeCleanHost(o);
    // Fill the spare header room so the table cannot grow.
    const size_t tableEnd = 0x40 + 0xF8 + 40 * 3;
    for (size_t i = tableEnd; i < tableEnd + 80; ++i) host[i] = 0xCC;
    EXPECT_FALSE(Infect(host, {}).error.empty());
    EXPECT_FALSE(Infect(Bytes(4096, 0), {}).error.empty());
}

TEST(SampleFactory, ForgedCrcMatchesTheCoreCrc) {
    Rng rng(5);
    for (int i = 0; i < 20; ++i) {
        Bytes data(0x3100);
        for (auto& b : data) b = rng.Byte();
        const uint32_t target = rng.Next();
        const size_t at = rng.Below(0x3000 - 4);
        ASSERT_TRUE(ForgeCrc(data, at, target));
        EXPECT_EQ(Crc32Update(0xFFFFFFFFu, data.data(), 0x3000), target);
    }
    Bytes small(10);
    EXPECT_FALSE(ForgeCrc(small, 8, 1, 10));
}

}  // namespace
