#include "procs/pattern_core.h"

#include <cstring>

int PatternEquals(const uint8_t* data, const uint8_t* stored, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (stored[i] != kPatternWildcard && data[i] != static_cast<uint8_t>(stored[i] - 1)) return 0;
    }
    return 1;
}

const uint8_t* PatternSearch(const uint8_t* data, const uint8_t* stored, size_t dataLength,
                             size_t patternLength) {
    if (data == nullptr || dataLength == 0) return nullptr;
    // m - 1 taken unsigned: an empty pattern can never fit and finds nothing.
    const size_t rest = patternLength - 1;
    if (patternLength == 0) return nullptr;
    const uint8_t first = static_cast<uint8_t>(stored[0] - 1);
    const uint8_t* start = data;
    size_t remaining = dataLength;
    while (remaining != 0) {
        const void* hit = std::memchr(start, first, remaining);
        if (hit == nullptr) return nullptr;
        const uint8_t* candidate = static_cast<const uint8_t*>(hit);
        remaining -= static_cast<size_t>(candidate - start) + 1;  // bytes after the candidate
        if (remaining < rest) return nullptr;
        if (PatternEquals(candidate + 1, stored + 1, rest)) return candidate;
        start = candidate + 1;
    }
    return nullptr;
}
