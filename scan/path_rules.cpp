// The path rules of the function table on the system: readability through
// the IsBadStringPtr slot, the ANSI code page, the system's case mapping.
#include "app/run_state.h"
#include "scan/api_table.h"
#include "scan/path_rules_core.h"

#include <type_traits>

namespace {

size_t WideFromAnsi(const char* ansi, size_t bytes, wchar_t* out, size_t capacity) {
    int n = MultiByteToWideChar(CP_ACP, 0, ansi, static_cast<int>(bytes), out, static_cast<int>(capacity));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

size_t AnsiFromWide(const wchar_t* text, size_t units, char* out, size_t capacity) {
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

}  // namespace

template <typename C>
int CheckLongPath(const C* path) {
    const ApiSet<C>& api = Api<C>();
    if (!path || !api.IsBadStringPtr) return -1;
    if (api.IsBadStringPtr(path, g_run.maxPathChars)) return -1;
    // Readable up to the limit; the length may still pass it.
    return pathrules::CheckLongPathRule(path, pathrules::Length(path), std::is_same_v<C, wchar_t>);
}

template <typename C>
int EqualsIgnoreCaseMixed(const char* ansi, const C* native) {
    if constexpr (std::is_same_v<C, wchar_t>)
        return pathrules::EqualsIgnoreCaseMixedNt<wchar_t>(ansi, native, WideFromAnsi, FoldWide);
    else
        return pathrules::EqualsIgnoreCaseAnsi(ansi, native, pathrules::FoldAscii);
}

template <typename C>
int StartsWithIgnoreCaseMixed(const char* ansi, const C* native, size_t count) {
    if constexpr (std::is_same_v<C, wchar_t>)
        return pathrules::StartsWithIgnoreCaseMixedNt<wchar_t>(ansi, native, count, WideFromAnsi, FoldWide);
    else
        return pathrules::StartsWithIgnoreCaseAnsi(ansi, native, count, pathrules::FoldAscii);
}

size_t ShortenForLog(const wchar_t* path, char* out, size_t outBytes, size_t limit) {
    return pathrules::ShortenForLogWith<wchar_t>(path, out, outBytes, limit, AnsiFromWide);
}

template int CheckLongPath<char>(const char*);
template int CheckLongPath<wchar_t>(const wchar_t*);
template int EqualsIgnoreCaseMixed<char>(const char*, const char*);
template int EqualsIgnoreCaseMixed<wchar_t>(const char*, const wchar_t*);
template int StartsWithIgnoreCaseMixed<char>(const char*, const char*, size_t);
template int StartsWithIgnoreCaseMixed<wchar_t>(const char*, const wchar_t*, size_t);
