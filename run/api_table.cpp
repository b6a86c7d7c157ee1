#include "run/api_table.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "run/run_state.h"

namespace {

size_t LenA(const char* s) { return std::strlen(s); }
size_t LenW(const wchar_t* s) { return std::wcslen(s); }
char* CopyA(char* d, const char* s) { return std::strcpy(d, s); }
wchar_t* CopyW(wchar_t* d, const wchar_t* s) { return std::wcscpy(d, s); }
char* AppendA(char* d, const char* s) { return std::strcat(d, s); }
wchar_t* AppendW(wchar_t* d, const wchar_t* s) { return std::wcscat(d, s); }
int CompareA(const char* a, const char* b) { return std::strcmp(a, b); }
int CompareW(const wchar_t* a, const wchar_t* b) { return std::wcscmp(a, b); }

int FormatA(char* out, size_t count, const char* format, ...) {
    if (!count) return -1;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(out, count, format, args);
    va_end(args);
    out[count - 1] = '\0';
    return n;
}

int FormatW(wchar_t* out, size_t count, const wchar_t* format, ...) {
    if (!count) return -1;
    va_list args;
    va_start(args, format);
    int n = std::vswprintf(out, count, format, args);
    va_end(args);
    out[count - 1] = L'\0';
    return n;
}

template <typename C>
bool Required(const ApiSet<C>& s, bool needMove) {
    return s.SetFileAttributes && s.DeleteFile && s.FindFirstFile && s.FindNextFile && s.FindClose &&
           s.CreateFile && s.GetTempPath && s.CopyFile && s.IsBadStringPtr && s.RemoveDirectory &&
           (!needMove || s.MoveFileEx) && s.RegQueryValueEx && s.RegEnumValue && s.RegDeleteValue;
}

}  // namespace

int BindFunctions(const char* moduleName, const BindEntry* entries) {
    HMODULE module = GetModuleHandleA(moduleName);
    if (!module) return 0;
    for (const BindEntry* e = entries; e->name; ++e)
        *e->slot = reinterpret_cast<void*>(GetProcAddress(module, e->name));
    return 1;
}

#define SLOT(set, field) reinterpret_cast<void**>(&(set).field)

int LoadApiTable(ApiTable& table, const RunFlags& flags) {
    table = ApiTable{};
    if (flags.isNtFamily) {
        ApiSet<wchar_t>& w = table.wide;
        w.maxPathChars = flags.maxPathChars;
        w.length = LenW;
        w.copy = CopyW;
        w.append = AppendW;
        w.compare = CompareW;
        w.format = FormatW;
        w.logNameFormat = "%.260S";
        const BindEntry kernel[] = {
            {"SetFileAttributesW", SLOT(w, SetFileAttributes)}, {"DeleteFileW", SLOT(w, DeleteFile)},
            {"FindFirstFileW", SLOT(w, FindFirstFile)},         {"FindNextFileW", SLOT(w, FindNextFile)},
            {"FindClose", SLOT(w, FindClose)},                  {"CreateFileW", SLOT(w, CreateFile)},
            {"GetTempPathW", SLOT(w, GetTempPath)},             {"CopyFileW", SLOT(w, CopyFile)},
            {"IsBadStringPtrW", SLOT(w, IsBadStringPtr)},       {"RemoveDirectoryW", SLOT(w, RemoveDirectory)},
            {"MoveFileExW", SLOT(w, MoveFileEx)},               {"GetFullPathNameW", SLOT(w, GetFullPathName)},
            {"GetFinalPathNameByHandleW", SLOT(w, GetFinalPathNameByHandle)},   {nullptr, nullptr}};
        const BindEntry advapi[] = {{"RegQueryValueExW", SLOT(w, RegQueryValueEx)},
                                    {"RegEnumValueW", SLOT(w, RegEnumValue)},
                                    {"RegDeleteValueW", SLOT(w, RegDeleteValue)},
                                    {nullptr, nullptr}};
        if (!BindFunctions("KERNEL32.DLL", kernel)) return 0;
        if (!w.MoveFileEx) return 0;
        if (!BindFunctions("ADVAPI32.DLL", advapi)) return 0;
        return Required(w, true) ? 1 : 0;
    }
    ApiSet<char>& a = table.ansi;
    a.maxPathChars = flags.maxPathChars;
    a.length = LenA;
    a.copy = CopyA;
    a.append = AppendA;
    a.compare = CompareA;
    a.format = FormatA;
    a.logNameFormat = "%.260s";
    const BindEntry kernel[] = {
        {"SetFileAttributesA", SLOT(a, SetFileAttributes)}, {"DeleteFileA", SLOT(a, DeleteFile)},
        {"FindFirstFileA", SLOT(a, FindFirstFile)},         {"FindNextFileA", SLOT(a, FindNextFile)},
        {"FindClose", SLOT(a, FindClose)},                  {"CreateFileA", SLOT(a, CreateFile)},
        {"GetTempPathA", SLOT(a, GetTempPath)},             {"CopyFileA", SLOT(a, CopyFile)},
        {"IsBadStringPtrA", SLOT(a, IsBadStringPtr)},       {"RemoveDirectoryA", SLOT(a, RemoveDirectory)},
        {"MoveFileA", SLOT(a, MoveFile)},                   {"GetFullPathNameA", SLOT(a, GetFullPathName)},
        {"GetFinalPathNameByHandleA", SLOT(a, GetFinalPathNameByHandle)},   {nullptr, nullptr}};
    const BindEntry advapi[] = {{"RegQueryValueExA", SLOT(a, RegQueryValueEx)},
                                {"RegEnumValueA", SLOT(a, RegEnumValue)},
                                {"RegDeleteValueA", SLOT(a, RegDeleteValue)},
                                {nullptr, nullptr}};
    if (!BindFunctions("KERNEL32.DLL", kernel)) return 0;
    if (!BindFunctions("ADVAPI32.DLL", advapi)) return 0;
    return Required(a, false) ? 1 : 0;
}
