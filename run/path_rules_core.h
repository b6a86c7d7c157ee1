// Path rules over native text, without the system: the long-path check, the
// mixed ANSI/native comparisons and the shortening of paths for the log.
// Templates over the code unit C (char, wchar_t, char16_t). Portable: the
// Win32 side (scan/path_rules.cpp) supplies readability, code page conversion
// and case folding.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

namespace pathrules {

constexpr size_t kNtMaxChars = 32767;   // "\\?\" paths on the NT family
constexpr size_t k9xMaxChars = 260;     // ANSI paths on 9x
constexpr size_t kLongPrefixChars = 4;  // "\\?\"
constexpr size_t kNone = static_cast<size_t>(-1);

template <typename C>
size_t Length(const C* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// Index of the first "\\?\" in s[0..n), or kNone.
template <typename C>
size_t FindLongPrefix(const C* s, size_t n) {
    for (size_t i = 0; i + kLongPrefixChars <= n; ++i)
        if (s[i] == C('\\') && s[i + 1] == C('\\') && s[i + 2] == C('?') && s[i + 3] == C('\\')) return i;
    return kNone;
}

template <typename C>
bool HasLongPrefix(const C* s) {
    return s && s[0] == C('\\') && s[1] == C('\\') && s[2] == C('?') && s[3] == C('\\');
}

// The text after a leading "\\?\" (log and display never show it).
template <typename C>
const C* SkipLongPrefix(const C* s) {
    return HasLongPrefix(s) ? s + kLongPrefixChars : s;
}

// The length rule of a readable path of `length` characters:
// 0 usable, 1 "\\?\" missing (NT family), -1 unusable.
template <typename C>
int CheckLongPathRule(const C* path, size_t length, bool ntFamily) {
    if (!path) return -1;
    if (!ntFamily) return length <= k9xMaxChars ? 0 : -1;
    size_t at = FindLongPrefix(path, length);
    if (at == 0) return length <= kNtMaxChars ? 0 : -1;
    if (at == kNone && kLongPrefixChars + length <= kNtMaxChars) return 1;
    return -1;
}

// Case folding of one code unit; the Win32 side passes the system's.
using FoldFn = uint32_t (*)(uint32_t);
inline uint32_t FoldAscii(uint32_t c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

template <typename A, typename B>
bool EqualFolded(const A* a, const B* b, size_t n, FoldFn fold) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t x = static_cast<std::make_unsigned_t<A>>(a[i]);
        uint32_t y = static_cast<std::make_unsigned_t<B>>(b[i]);
        if (x != y && fold(x) != fold(y)) return false;
    }
    return true;
}

// Converts `bytes` ANSI bytes into at most `capacity` native units; returns
// the number of units (0 on failure). With out null: the units needed.
template <typename C>
using FromAnsiFn = size_t (*)(const char* ansi, size_t bytes, C* out, size_t capacity);
// Converts `units` native units into ANSI bytes; with out null: bytes needed.
template <typename C>
using ToAnsiFn = size_t (*)(const C* text, size_t units, char* out, size_t capacity);

// ANSI text converted to native units in a heap block (null on failure).
template <typename C>
std::unique_ptr<C[]> ConvertFromAnsi(const char* ansi, size_t bytes, FromAnsiFn<C> convert, size_t& units) {
    units = 0;
    if (bytes == 0) return std::unique_ptr<C[]>(new (std::nothrow) C[1]{});
    size_t need = convert(ansi, bytes, nullptr, 0);
    if (need == 0) return nullptr;
    std::unique_ptr<C[]> out(new (std::nothrow) C[need + 1]);
    if (!out) return nullptr;
    units = convert(ansi, bytes, out.get(), need);
    if (units == 0 || units > need) return nullptr;
    out[units] = C(0);
    return out;
}

// NT family: 1 when the ANSI text, converted, equals the native text ignoring
// case. Both null count as equal, one null as different.
template <typename C>
int EqualsIgnoreCaseMixedNt(const char* ansi, const C* native, FromAnsiFn<C> convert, FoldFn fold) {
    if (!ansi && !native) return 1;
    if (!ansi || !native) return 0;
    size_t units = 0;
    std::unique_ptr<C[]> wide = ConvertFromAnsi(ansi, Length(ansi), convert, units);
    if (!wide) return 0;
    if (units != Length(native)) return 0;
    return EqualFolded(wide.get(), native, units, fold) ? 1 : 0;
}

// NT family: 1 when the first n characters of the ANSI text, converted, begin
// the native text ignoring case; n = 0 always matches; a text shorter than n
// never does.
template <typename C>
int StartsWithIgnoreCaseMixedNt(const char* ansi, const C* native, size_t n, FromAnsiFn<C> convert, FoldFn fold) {
    if (n == 0) return 1;
    if (!ansi || !native) return 0;
    if (Length(ansi) < n) return 0;
    size_t units = 0;
    std::unique_ptr<C[]> wide = ConvertFromAnsi(ansi, n, convert, units);
    if (!wide) return 0;
    for (size_t i = 0; i < units; ++i)
        if (!native[i]) return 0;
    return EqualFolded(wide.get(), native, units, fold) ? 1 : 0;
}

// Whether `path` is the folder `root` or lies below it, ignoring case: whole
// components only (C:\DATA2 is not below C:\DATA); a root's trailing
// backslash ("C:\") does not count. An empty root holds nothing.
template <typename C>
bool WithinTree(const C* path, size_t length, const C* root, size_t rootLength, FoldFn fold) {
    while (rootLength > 0 && root[rootLength - 1] == C('\\')) --rootLength;
    if (rootLength == 0 || length < rootLength || !EqualFolded(path, root, rootLength, fold)) return false;
    return length == rootLength || path[rootLength] == C('\\');
}

// A path without "\\?\" ("\\?\UNC\server\share" is "\\server\share").
template <typename C>
std::basic_string<C> WithoutLongPrefix(const std::basic_string<C>& s) {
    if (!HasLongPrefix(s.c_str())) return s;
    auto is = [&](size_t i, char c) { return s[i] == C(c) || s[i] == C(c - 'A' + 'a'); };
    if (s.size() >= 8 && is(4, 'U') && is(5, 'N') && is(6, 'C') && s[7] == C('\\'))
        return std::basic_string<C>(1, C('\\')) + s.substr(7);
    return s.substr(kLongPrefixChars);
}

// 9x: plain comparisons of two ANSI texts ignoring case (the prefix form
// compares like strnicmp: up to n characters or a common end).
int EqualsIgnoreCaseAnsi(const char* a, const char* b, FoldFn fold);
int StartsWithIgnoreCaseAnsi(const char* a, const char* b, size_t n, FoldFn fold);

// The shortened form of a path of `length` characters for a limit: at most
// `limit` characters written to out (which holds limit + 1). Returns the
// number of characters, kNone when the limit is too small to shorten into.
//   - length <= limit: the path itself;
//   - tail = last component with its backslash, a = its length;
//     a + 3 < limit: the first limit - a - 3 characters of the path (one fewer
//     when the last of them is a backslash), "...", the tail;
//   - otherwise "..." and the first limit - 3 characters of the tail.
template <typename C>
size_t ShortenPath(const C* path, size_t length, size_t limit, C* out) {
    size_t n = 0;
    auto put = [&](const C* s, size_t count) {
        for (size_t i = 0; i < count; ++i) out[n++] = s[i];
    };
    const C dots[3] = {C('.'), C('.'), C('.')};
    if (length <= limit) {
        put(path, length);
    } else {
        if (limit < 4) return kNone;
        size_t tail = length;
        while (tail > 0 && path[tail - 1] != C('\\')) --tail;
        if (tail > 0) --tail;   // the tail begins with its backslash
        size_t a = length - tail;
        if (a + 3 < limit) {
            size_t head = limit - a - 3;
            if (path[head - 1] == C('\\')) --head;
            put(path, head);
            put(dots, 3);
            put(path + tail, a);
        } else {
            put(dots, 3);
            put(path + tail, limit - 3);
        }
    }
    out[n] = C(0);
    return n;
}

// ShortenPath followed by the conversion to ANSI into out (outBytes with the
// terminator). Returns the ANSI length, 0 on failure; out is left untouched
// when it is too small.
template <typename C>
size_t ShortenForLogWith(const C* path, char* out, size_t outBytes, size_t limit, ToAnsiFn<C> convert) {
    if (!path || !out || outBytes == 0) return 0;
    std::unique_ptr<C[]> text(new (std::nothrow) C[limit + 1]);
    if (!text) return 0;
    size_t units = ShortenPath(path, Length(path), limit, text.get());
    if (units == kNone) return 0;
    if (units == 0) {
        out[0] = '\0';
        return 0;
    }
    size_t need = convert(text.get(), units, nullptr, 0);
    if (need == 0 || need + 1 > outBytes) return 0;
    size_t got = convert(text.get(), units, out, need);
    if (got != need) return 0;
    out[got] = '\0';
    return got;
}

}  // namespace pathrules
