// Native paths of a run: wide with "\\?\" on the NT family, ANSI on 9x. The
// one place for the "\\?\" prefix, the log's forms of a path, the system code
// page conversions and the path rule every file operation calls first.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <string>

#include "run/log_core.h"
#include "run/api_table.h"
#include "run/path_rules_core.h"

inline constexpr wchar_t kLongPrefix[] = L"\\\\?\\";

// Outcome lines, the display and the COM tool show at most this many characters of a path.
constexpr size_t kLogPathChars = 260;

enum class PathCheck {
    Usable,
    PrefixMissing,   // NT family: a path without "\\?\"
    Unusable,        // unreadable, null, or too long
};

// The path rule: readable up to the run's limit, and within it.
template <typename C> PathCheck CheckLongPath(const ApiSet<C>& api, const C* path);

// ANSI text against a native text, ignoring case.
template <typename C> int EqualsIgnoreCaseMixed(const char* ansi, const C* native);
template <typename C> int StartsWithIgnoreCaseMixed(const char* ansi, const C* native, size_t count);

// Registry data of `units` native units (its terminator, if stored, among
// them) against a native text, ignoring case: the data's text up to its first
// terminator must be the whole text.
template <typename C> bool DataEqualsIgnoreCase(const C* data, size_t units, const C* text);

// Whether a path (without "\\?\") is the folder root or lies below it,
// ignoring case as the file system does.
template <typename C> bool WithinTreeIgnoreCase(const std::basic_string<C>& path, const std::basic_string<C>& root);

// Wide path to ANSI text of at most `limit` characters for the log and the
// display; the length of the text, 0 on failure.
size_t ShortenForLog(const wchar_t* path, char* out, size_t outBytes, size_t limit);

// System code page conversions; false (and `out` empty) when they fail.
bool WideFromAnsi(const std::string& ansi, std::wstring& out);
bool AnsiFromWide(const wchar_t* wide, std::string& out);

// "\\?\" in front of a wide path, or of the wide form of an ANSI path; false
// when the result would pass the NT limit or the text cannot be converted.
bool LongWidePath(const std::wstring& path, std::wstring& out);
bool LongWidePath(const std::string& ansi, std::wstring& out);

// The path part of a path line: without "\\?\", ANSI, at most 1920 bytes.
std::string PathLineText(const char* path);
std::string PathLineText(const wchar_t* path);
// A path as the outcome lines show it: without "\\?\", at most 260 characters.
std::string ShortLogPath(const char* path);
std::string ShortLogPath(const wchar_t* path);

// "path: message" for a native path.
template <typename C>
void WritePathLine(RunLog& log, const C* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log.PathLineV(PathLineText(path).c_str(), format, args);
    va_end(args);
}
