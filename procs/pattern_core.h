// Comparison of encoded byte signatures with file contents and process memory.
// A stored pattern keeps each wanted byte as its value + 1 (mod 256); the stored
// byte 0xCD matches any data byte, except as the first byte of a search.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t kPatternWildcard = 0xCD;

// 1 when data[0..n) matches stored[0..n) (n = 0 matches), otherwise 0.
int PatternEquals(const uint8_t* data, const uint8_t* stored, size_t n);

// First place in data[0..dataLength) where the whole pattern matches, or null.
// The first stored byte is always taken literally; a pattern length of 0 finds nothing.
const uint8_t* PatternSearch(const uint8_t* data, const uint8_t* stored, size_t dataLength,
                             size_t patternLength);
