// The table of file and registry-value functions: one set per run, wide with
// "\\?\" paths on the NT family, ANSI on 9x. Code that handles native strings
// is written once as a template over the character type C (char or wchar_t)
// and reaches the system through the run's table, api.Get<C>().
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdarg>

template <typename C> struct FindDataOf;
template <> struct FindDataOf<char> { using type = WIN32_FIND_DATAA; };
template <> struct FindDataOf<wchar_t> { using type = WIN32_FIND_DATAW; };
template <typename C> using FindData = typename FindDataOf<C>::type;

template <typename C>
struct ApiSet {
    // Run-time library string functions.
    size_t (*length)(const C*) = nullptr;
    C* (*copy)(C*, const C*) = nullptr;
    C* (*append)(C*, const C*) = nullptr;
    int (*compare)(const C*, const C*) = nullptr;
    // Bounded, always terminated. Our C runtime follows C99 (mingw's stdio):
    // in a wide format "%s" takes byte text and "%ls" (or "%S") wide text,
    // the reverse of Microsoft's runtime, so formats are written for C99.
    int (*format)(C* out, size_t count, const C* format, ...) = nullptr;
    // "%.260S" / "%.260s" for byte formats. "%S" converts through the C
    // runtime's locale, not the ANSI code page: log paths go through
    // ShortenForLog instead.
    const char* logNameFormat = nullptr;
    // The longest path of the run in characters (32767 NT family, 260 on 9x).
    size_t maxPathChars = 0;
    // System functions bound by name.
    BOOL(WINAPI* SetFileAttributes)(const C*, DWORD) = nullptr;
    BOOL(WINAPI* DeleteFile)(const C*) = nullptr;
    HANDLE(WINAPI* FindFirstFile)(const C*, FindData<C>*) = nullptr;
    BOOL(WINAPI* FindNextFile)(HANDLE, FindData<C>*) = nullptr;
    BOOL(WINAPI* FindClose)(HANDLE) = nullptr;
    HANDLE(WINAPI* CreateFile)(const C*, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = nullptr;
    DWORD(WINAPI* GetTempPath)(DWORD, C*) = nullptr;
    BOOL(WINAPI* CopyFile)(const C*, const C*, BOOL) = nullptr;
    BOOL(WINAPI* IsBadStringPtr)(const C*, UINT_PTR) = nullptr;
    BOOL(WINAPI* RemoveDirectory)(const C*) = nullptr;
    BOOL(WINAPI* MoveFileEx)(const C*, const C*, DWORD) = nullptr;          // not bound on 9x
    // 9x only, where it is the one move there is: a plain rename that never
    // replaces (not required: without it a repair cannot be put in place).
    BOOL(WINAPI* MoveFile)(const C*, const C*) = nullptr;
    DWORD(WINAPI* GetFullPathName)(const C*, DWORD, C*, C**) = nullptr;   // not required
    // Where an open file really is, links resolved (not required: Windows
    // before Vista has none).
    DWORD(WINAPI* GetFinalPathNameByHandle)(HANDLE, C*, DWORD, DWORD) = nullptr;
    LONG(WINAPI* RegQueryValueEx)(HKEY, const C*, LPDWORD, LPDWORD, LPBYTE, LPDWORD) = nullptr;
    LONG(WINAPI* RegEnumValue)(HKEY, DWORD, C*, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) = nullptr;
    LONG(WINAPI* RegDeleteValue)(HKEY, const C*) = nullptr;
};

struct ApiTable {
    ApiSet<char> ansi;       // filled on 9x
    ApiSet<wchar_t> wide;    // filled on the NT family

    template <typename C>
    const ApiSet<C>& Get() const {
        if constexpr (sizeof(C) == 1) return ansi;
        else return wide;
    }
};

struct RunFlags;

// One (function name, slot) pair for the binder; the list ends with a null name.
struct BindEntry {
    const char* name;
    void** slot;
};
// Fills the slots from a module already loaded in the process (never loads
// one). 0 when the module is not loaded; missing names leave their slot empty.
int BindFunctions(const char* moduleName, const BindEntry* entries);

// Fills the table for the platform of the run (flags.isNtFamily and
// maxPathChars, set before); 1 when every required slot is filled.
int LoadApiTable(ApiTable& table, const RunFlags& flags);
