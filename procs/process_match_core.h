// The computing half of the process rules: name comparisons and the test of
// one signature part against the bytes read from a process.
#pragma once
#include <cstddef>
#include <cstdint>

#include "run/threat_definition.h"

// ASCII case folding: image names and the definition's names are ASCII.
bool EqualsIgnoringCase(const char* a, const char* b);
bool StartsWithIgnoringCase(const char* text, const char* prefix);
// True when `part` occurs in `text`; a null text or part matches nothing.
bool ContainsIgnoringCase(const char* text, const char* part);

// The most bytes a signature part reads from a process.
constexpr uint32_t kSignatureBufferSize = 4096;

// In process mode an address of 0 or above 0xFF000000 is relative to the main
// image: it holds the two's complement of the offset.
inline bool IsImageRelative(uint32_t address) { return address == 0 || address > 0xFF000000u; }

// Where a part reads: process mode with the main image's base (image-relative
// addresses), or thread mode with the real start routine (offsets from it),
// always modulo 2^32.
inline uint32_t ImageRelativeAddress(uint32_t imageBase, uint32_t address) { return imageBase + (0u - address); }
inline uint32_t ThreadRelativeAddress(uint32_t start, uint32_t address) { return start + address; }

// A part ends the list when its pattern or read length is 0.
inline bool PartInUse(const SignaturePart& part) { return part.patternLength != 0 && part.readLength != 0; }
// The bytes to read for a part: never more than the buffer holds.
inline uint32_t PartReadLength(const SignaturePart& part) {
    return part.readLength < kSignatureBufferSize ? part.readLength : kSignatureBufferSize;
}

// The n bytes actually read against the part's pattern: a pattern as long as
// the bytes is compared at the start, a shorter one is searched for, a longer
// one (or one longer than its inline room) never matches.
bool PartMatches(const SignaturePart& part, const uint8_t* bytes, size_t n);
