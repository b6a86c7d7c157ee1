#include "procs/process_match_core.h"

#include "procs/pattern_core.h"

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool EqualsIgnoringCase(const char* a, const char* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b)
        if (Fold(*a) != Fold(*b)) return false;
    return *a == *b;
}

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
    if (!text || !prefix) return false;
    for (; *prefix; ++text, ++prefix)
        if (!*text || Fold(*text) != Fold(*prefix)) return false;
    return true;
}

bool ContainsIgnoringCase(const char* text, const char* part) {
    if (!text || !part) return false;
    for (; *text; ++text)
        if (StartsWithIgnoringCase(text, part)) return true;
    return *part == '\0';
}

bool PartMatches(const SignaturePart& part, const uint8_t* bytes, size_t n) {
    const size_t m = part.patternLength;
    if (m > sizeof part.pattern || m > n) return false;
    if (m == n) return PatternEquals(bytes, part.pattern, n) == 1;
    return PatternSearch(bytes, part.pattern, n, m) != nullptr;
}
