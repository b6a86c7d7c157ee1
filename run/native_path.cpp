// The path rules on the system: readability through the IsBadStringPtr slot,
// the ANSI code page, the system's case mapping.
#include "run/native_path.h"

#include <cstdio>
#include <type_traits>
#include <vector>

#include "run/run_state.h"

namespace {

size_t WideFromAnsiUnits(const char* ansi, size_t bytes, wchar_t* out, size_t capacity) {
    int n = MultiByteToWideChar(CP_ACP, 0, ansi, static_cast<int>(bytes), out, static_cast<int>(capacity));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

size_t AnsiFromWideUnits(const wchar_t* text, size_t units, char* out, size_t capacity) {
    int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), out, static_cast<int>(capacity), nullptr,
                                nullptr);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// The system's upper case of one UTF-16 unit (the single-character form of CharUpperW).
uint32_t FoldWide(uint32_t c) {
    return static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(
               CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c & 0xFFFF))))) &
           0xFFFF;
}

PathCheck FromRule(int rule) {
    return rule == 0 ? PathCheck::Usable : rule == 1 ? PathCheck::PrefixMissing : PathCheck::Unusable;
}

}  // namespace

template <typename C>
PathCheck CheckLongPath(const ApiSet<C>& api, const C* path) {
    if (!path || !api.IsBadStringPtr) return PathCheck::Unusable;
    if (api.IsBadStringPtr(path, api.maxPathChars)) return PathCheck::Unusable;
    // Readable up to the limit; the length may still pass it.
    return FromRule(pathrules::CheckLongPathRule(path, pathrules::Length(path), std::is_same_v<C, wchar_t>));
}

template <typename C>
int EqualsIgnoreCaseMixed(const char* ansi, const C* native) {
    if constexpr (std::is_same_v<C, wchar_t>)
        return pathrules::EqualsIgnoreCaseMixedNt<wchar_t>(ansi, native, WideFromAnsiUnits, FoldWide);
    else
        return pathrules::EqualsIgnoreCaseAnsi(ansi, native, pathrules::FoldAscii);
}

template <typename C>
int StartsWithIgnoreCaseMixed(const char* ansi, const C* native, size_t count) {
    if constexpr (std::is_same_v<C, wchar_t>)
        return pathrules::StartsWithIgnoreCaseMixedNt<wchar_t>(ansi, native, count, WideFromAnsiUnits, FoldWide);
    else
        return pathrules::StartsWithIgnoreCaseAnsi(ansi, native, count, pathrules::FoldAscii);
}

template <typename C>
bool DataEqualsIgnoreCase(const C* data, size_t units, const C* text) {
    if (!data || !text) return false;
    size_t length = 0;
    while (length < units && data[length]) ++length;
    if (length != pathrules::Length(text)) return false;
    if constexpr (std::is_same_v<C, wchar_t>)
        return pathrules::EqualFolded(data, text, length, FoldWide);
    else
        return pathrules::EqualFolded(data, text, length, pathrules::FoldAscii);
}

template <typename C>
bool WithinTreeIgnoreCase(const std::basic_string<C>& path, const std::basic_string<C>& root) {
    if constexpr (std::is_same_v<C, wchar_t>)
        return pathrules::WithinTree(path.c_str(), path.size(), root.c_str(), root.size(), FoldWide);
    else
        return pathrules::WithinTree(path.c_str(), path.size(), root.c_str(), root.size(), pathrules::FoldAscii);
}

size_t ShortenForLog(const wchar_t* path, char* out, size_t outBytes, size_t limit) {
    return pathrules::ShortenForLogWith<wchar_t>(path, out, outBytes, limit, AnsiFromWideUnits);
}

bool WideFromAnsi(const std::string& ansi, std::wstring& out) {
    out.clear();
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    if (n <= 0) return false;
    out.resize(n);
    if (MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, out.data(), n) <= 0) {
        out.clear();
        return false;
    }
    out.resize(n - 1);
    return true;
}

bool AnsiFromWide(const wchar_t* wide, std::string& out) {
    out.clear();
    int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    std::vector<char> ansi(n);
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi.data(), n, nullptr, nullptr) <= 0) return false;
    out.assign(ansi.data());
    return true;
}

bool LongWidePath(const std::wstring& path, std::wstring& out) {
    if (path.size() + pathrules::kLongPrefixChars > kMaxPathCharsNt) return false;
    out = kLongPrefix + path;
    return true;
}

bool LongWidePath(const std::string& ansi, std::wstring& out) {
    if (ansi.size() + pathrules::kLongPrefixChars > kMaxPathCharsNt) return false;
    std::wstring wide;
    if (!WideFromAnsi(ansi, wide)) return false;
    out = kLongPrefix + wide;
    return true;
}

std::string PathLineText(const char* path) { return path ? std::string(path, strnlen(path, kMaxLogPathBytes)) : ""; }

std::string PathLineText(const wchar_t* path) {
    std::string ansi;
    if (!path || !AnsiFromWide(pathrules::SkipLongPrefix(path), ansi)) return std::string();
    if (ansi.size() > kMaxLogPathBytes) ansi.resize(kMaxLogPathBytes);
    return ansi;
}

std::string ShortLogPath(const char* path) { return std::string(path, strnlen(path, kLogPathChars)); }

std::string ShortLogPath(const wchar_t* path) {
    char text[2 * kLogPathChars + 2];
    if (!ShortenForLog(pathrules::SkipLongPrefix(path), text, sizeof text, kLogPathChars)) return std::string();
    return text;
}

template PathCheck CheckLongPath<char>(const ApiSet<char>&, const char*);
template PathCheck CheckLongPath<wchar_t>(const ApiSet<wchar_t>&, const wchar_t*);
template int EqualsIgnoreCaseMixed<char>(const char*, const char*);
template int EqualsIgnoreCaseMixed<wchar_t>(const char*, const wchar_t*);
template bool WithinTreeIgnoreCase<char>(const std::string&, const std::string&);
template bool WithinTreeIgnoreCase<wchar_t>(const std::wstring&, const std::wstring&);
template bool DataEqualsIgnoreCase<char>(const char*, size_t, const char*);
template bool DataEqualsIgnoreCase<wchar_t>(const wchar_t*, size_t, const wchar_t*);
template int StartsWithIgnoreCaseMixed<char>(const char*, const char*, size_t);
template int StartsWithIgnoreCaseMixed<wchar_t>(const char*, const wchar_t*, size_t);
