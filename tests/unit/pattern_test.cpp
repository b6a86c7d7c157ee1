#include "procs/pattern_core.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Searches in a buffer of exactly the data's size, so ASan sees any read past it.
long Find(const Bytes& data, const Bytes& stored) {
    const uint8_t* hit = PatternSearch(data.empty() ? nullptr : data.data(), stored.data(), data.size(),
                                       stored.size());
    return hit ? static_cast<long>(hit - data.data()) : -1;
}

TEST(PatternEquals, StoredBytesAreValuePlusOneWithWildcard) {
    const Bytes stored = {0x42, 0xCD, 0x44};
    EXPECT_EQ(PatternEquals(Bytes{0x41, 0x00, 0x43}.data(), stored.data(), 3), 1);
    EXPECT_EQ(PatternEquals(Bytes{0x41, 0xFF, 0x43}.data(), stored.data(), 3), 1);
    EXPECT_EQ(PatternEquals(Bytes{0x41, 0x00, 0x44}.data(), stored.data(), 3), 0);
    EXPECT_EQ(PatternEquals(Bytes{0x42, 0x00, 0x43}.data(), stored.data(), 3), 0);
    // A stored 0x00 stands for the data byte 0xFF.
    EXPECT_EQ(PatternEquals(Bytes{0xFF}.data(), Bytes{0x00}.data(), 1), 1);
    EXPECT_EQ(PatternEquals(nullptr, nullptr, 0), 1);
}

TEST(PatternSearch, LengthZeroAndOne) {
    const Bytes data = {1, 2, 3, 2};
    EXPECT_EQ(Find(data, {}), -1);
    EXPECT_EQ(Find(data, {0x03}), 1);
    EXPECT_EQ(Find(data, {0x05}), -1);
    EXPECT_EQ(Find({}, {0x03}), -1);
}

TEST(PatternSearch, FirstByteIsLiteralLaterWildcardsMatchAnything) {
    // A leading 0xCD looks for 0xCC and is no wildcard.
    EXPECT_EQ(Find({0x10, 0x11, 0xCC, 0x20}, {0xCD, 0x21}), 2);
    EXPECT_EQ(Find({0x10, 0x20}, {0xCD, 0x21}), -1);
    EXPECT_EQ(Find({0x05, 0x07, 0x99, 0x09}, {0x08, 0xCD, 0x0A}), 1);
}

TEST(PatternSearch, SkipsFailedCandidatesAndStopsNearTheEnd) {
    // The first candidate fails, the second matches.
    EXPECT_EQ(Find({7, 1, 7, 8, 9}, {8, 9, 10}), 2);
    // A match that ends exactly at the end of the data is found.
    EXPECT_EQ(Find({0, 0, 7, 8}, {8, 9}), 2);
    // A candidate too close to the end ends the search, even with wildcards.
    EXPECT_EQ(Find({0, 0, 0, 7, 8}, {8, 9, 0xCD}), -1);
}

}  // namespace
