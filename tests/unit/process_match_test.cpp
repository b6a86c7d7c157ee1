#include "procs/process_match_core.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

SignaturePart Part(std::vector<uint8_t> stored, uint32_t readLength) {
    SignaturePart part{};
    for (size_t i = 0; i < stored.size() && i < sizeof part.pattern; ++i) part.pattern[i] = stored[i];
    part.patternLength = static_cast<uint32_t>(stored.size());
    part.readLength = readLength;
    return part;
}

TEST(ProcessNames, CaseFoldingAndSubstrings) {
    EXPECT_TRUE(EqualsIgnoringCase("EXPLORER.exe", "explorer.EXE"));
    EXPECT_FALSE(EqualsIgnoringCase("explorer.exe", "explorer.ex"));
    EXPECT_FALSE(EqualsIgnoringCase("explorer.ex", "explorer.exe"));
    EXPECT_TRUE(StartsWithIgnoringCase("msvcrt.dll", "MSVCR"));
    EXPECT_FALSE(StartsWithIgnoringCase("MSVC", "MSVCR"));
    // A name also matches a longer file name ending in it and a folder of that name.
    EXPECT_TRUE(ContainsIgnoringCase("C:\\WINDOWS\\Explorer.EXE", "explorer.exe"));
    EXPECT_TRUE(ContainsIgnoringCase("C:\\x\\myexplorer.exe", "explorer.exe"));
    EXPECT_TRUE(ContainsIgnoringCase("C:\\explorer.exe\\a.exe", "explorer.exe"));
    EXPECT_FALSE(ContainsIgnoringCase("C:\\iexplore.exe", "explorer.exe"));
    EXPECT_FALSE(ContainsIgnoringCase(nullptr, "explorer.exe"));
    EXPECT_FALSE(ContainsIgnoringCase("explorer.exe", nullptr));
}

TEST(SignatureParts, AddressesWrapModulo2To32) {
    EXPECT_TRUE(IsImageRelative(0));
    EXPECT_TRUE(IsImageRelative(0xFF000001u));
    EXPECT_FALSE(IsImageRelative(0xFF000000u));
    EXPECT_FALSE(IsImageRelative(0x00401000u));
    EXPECT_EQ(ImageRelativeAddress(0x00400000u, 0), 0x00400000u);
    EXPECT_EQ(ImageRelativeAddress(0x00400000u, 0u - 0x1234u), 0x00401234u);
    EXPECT_EQ(ThreadRelativeAddress(0xFFFFFFF0u, 0x20), 0x10u);
    EXPECT_EQ(PartReadLength(Part({1}, 5000)), kSignatureBufferSize);
    EXPECT_FALSE(PartInUse(Part({}, 4)));
    EXPECT_FALSE(PartInUse(Part({1}, 0)));
}

TEST(SignatureParts, EqualShorterAndLongerPatterns) {
    const std::vector<uint8_t> bytes = {0x10, 0x41, 0x42, 0x43};
    struct Case {
        std::vector<uint8_t> stored;
        size_t n;
        bool matches;
    } cases[] = {
        {{0x11, 0x42, 0x43, 0x44}, 4, true},    // as long as the bytes read: compared at the start
        {{0x42, 0x43, 0x44, 0x11}, 4, false},
        {{0x11, 0xCD, 0xCD, 0x44}, 4, true},    // wildcards
        {{0x42, 0x43}, 4, true},                // shorter: found anywhere
        {{0x43, 0x45}, 4, false},
        {{0xCD}, 4, false},                      // a leading wildcard is the literal 0xCC
        {{0x11, 0x42, 0x43}, 2, false},         // longer than the bytes read
    };
    for (const Case& c : cases)
        EXPECT_EQ(PartMatches(Part(c.stored, 4), bytes.data(), c.n), c.matches) << c.stored.size() << "/" << c.n;
    // A pattern longer than its inline room never matches (nor reads past it).
    SignaturePart tooLong = Part({0x11, 0x42, 0x43, 0x44}, 8);
    tooLong.patternLength = 5;
    EXPECT_FALSE(PartMatches(tooLong, bytes.data(), bytes.size()));
}

}  // namespace
