#include "scan/delete.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <type_traits>
#include <vector>

#include "app/TrevaskDlg.h"
#include "app/log.h"
#include "app/run_state.h"
#include "app/threat_definition.h"
#include "procs/terminate.h"
#include "scan/api_table.h"
#include "scan/path_macros.h"
#include "scan/wininit_core.h"
#include "scan/wstrlist.h"

namespace {

const char kDeletedText[] = ": (deleted)";
const char kPendingRebootText[] = ": (will be deleted on next reboot)";
const char kDeleteFailedText[] = ": (WARNING: delete failed)";
const char kPrefixNotFoundText[] = ": (WARNING: not deleted, prefix not found)";
const char kDeleteFailedLine[] = "Delete failed";
const char kDirectoryDeleted[] = "directory %s: (deleted)";
const char kDirectoryPendingReboot[] = "directory %s: (will be deleted on next reboot)";
const char kDirectoryNotDeleted[] = "directory %s: (WARNING: not deleted)";

const wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr size_t kLongPrefixChars = 4;
constexpr size_t kLogPathChars = 260;

bool HasLongPrefix(const wchar_t* path) { return std::wcsncmp(path, kLongPrefix, kLongPrefixChars) == 0; }

// Log form of a native path: without "\\?\", at most 260 characters.
void LogPathText(const wchar_t* path, char* out, size_t outBytes) {
    if (HasLongPrefix(path)) path += kLongPrefixChars;
    if (!ShortenForLog(path, out, outBytes, kLogPathChars)) out[0] = '\0';
}
void LogPathText(const char* path, char* out, size_t outBytes) { std::snprintf(out, outBytes, "%.260s", path); }

template <typename C>
void WriteFileOutcome(const C* path, const char* text) {
    char logPath[kMessageBufferSize];
    LogPathText(path, logPath, sizeof logPath);
    std::snprintf(messageBuffer, kMaxLineChars + 1, "%s%s", logPath, text);
    WriteLogLine();
}

template <typename C>
void WriteDirectoryOutcome(const C* path, const char* format) {
    char logPath[kMessageBufferSize];
    LogPathText(path, logPath, sizeof logPath);
    WriteFormattedLine(format, logPath);
}

bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

void AddToList(WStrList& list, const wchar_t* path) { list.Add(path); }
void AddToList(WStrList& list, const char* path) { list.Add(path); }

// Win32 side of the [rename] section of WININIT.INI.
class PrivateProfile : public ProfileAccess {
public:
    explicit PrivateProfile(const char* file) : m_file(file) {}
    uint32_t GetString(const char* section, const char* key, char* out, uint32_t size) override {
        return GetPrivateProfileStringA(section, key, "", out, size, m_file);
    }
    uint32_t GetSection(const char* section, char* out, uint32_t size) override {
        return GetPrivateProfileSectionA(section, out, size, m_file);
    }
    bool WriteString(const char* section, const char* key, const char* value) override {
        return WritePrivateProfileStringA(section, key, value, m_file) != 0;
    }
    bool WriteSection(const char* section, const char* text) override {
        return WritePrivateProfileSectionA(section, text, m_file) != 0;
    }
    void Flush() override { WritePrivateProfileStringA(nullptr, nullptr, nullptr, m_file); }

private:
    const char* m_file;
};

// NT family: a delayed move to nowhere. NT 4 and 2000 do not accept "\\?\" there.
bool ScheduleDeletion(const wchar_t* path) {
    auto move = Api<wchar_t>().MoveFileEx;
    if (!move) return false;
    if ((g_run.isNt4 || g_run.isWin2000) && HasLongPrefix(path)) path += kLongPrefixChars;
    return move(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

// 9x: a "NUL=" line in WININIT.INI, which takes 8.3 names only.
bool ScheduleDeletion(const char* path) {
    char windowsDir[kWininitPathBytes] = {};
    UINT n = GetWindowsDirectoryA(windowsDir, sizeof windowsDir);
    if (!n || n >= sizeof windowsDir) return false;
    char iniPath[kWininitPathBytes];
    if (!ComposeWininitPath(windowsDir, iniPath, sizeof iniPath)) return false;
    char shortPath[MAX_PATH] = {};
    DWORD s = GetShortPathNameA(path, shortPath, sizeof shortPath);
    if (!s || s >= sizeof shortPath) return false;
    PrivateProfile profile(iniPath);
    return AddNulRenameLine(profile, shortPath);
}

// Attributes reset, delete; when the file is held open, end the processes of
// the termination table and try once more. 1 deleted, 0 not there, -1 still there.
template <typename C>
int TryDelete(const C* path) {
    const ApiSet<C>& api = Api<C>();
    api.SetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
    if (api.DeleteFile(path)) return 1;
    if (IsNotFound(GetLastError())) return 0;
    if (TerminateProcessesByImage(g_def->imageTerminationTable) != -1 && api.DeleteFile(path)) return 1;
    return -1;
}

// The steps both file deletions share. 1 deleted, 0 nothing more to do, -1 still there.
template <typename C>
int CheckAndDelete(const C* path, int logging) {
    int check = CheckLongPath(path);
    if (check == -1) {
        if (logging) WriteTextLine(kDeleteFailedLine);
        return 0;
    }
    if (check == 1) {
        if (logging) WriteFileOutcome(path, kPrefixNotFoundText);
        return 0;
    }
    int r = TryDelete(path);
    if (r == 1 && logging) {
        ++g_stats.filesDeleted;
        WriteFileOutcome(path, kDeletedText);
    }
    return r;
}

// Measures, then expands; false when the two calls disagree or nothing results.
bool ExpandEntry(const char* entry, std::string& out) {
    size_t n = ExpandPathMacros(entry, nullptr, 0);
    if (!n) return false;
    std::vector<char> buffer(n + 1, '\0');
    if (ExpandPathMacros(entry, buffer.data(), buffer.size()) != n) return false;
    out.assign(buffer.data());   // registry data may hold a zero: the path ends there
    return !out.empty();
}

// "\\?\" and the wide form of an ANSI path (system code page).
bool ToLongWidePath(const std::string& ansi, std::wstring& out) {
    if (ansi.size() + kLongPrefixChars > kMaxPathCharsNt) return false;
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    if (n <= 0) return false;
    out.assign(kLongPrefix);
    out.resize(kLongPrefixChars + n);
    if (MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &out[kLongPrefixChars], n) <= 0) return false;
    out.resize(kLongPrefixChars + n - 1);
    return true;
}

template <typename C>
bool IsDotEntry(const C* name) {
    return name[0] == C('.') && (name[1] == 0 || (name[1] == C('.') && name[2] == 0));
}

// A directory search must find the path, and it must be a directory.
template <typename C>
bool IsExistingDirectory(const C* path) {
    const ApiSet<C>& api = Api<C>();
    FindData<C> data;
    HANDLE find = api.FindFirstFile(path, &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    api.FindClose(find);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

template <typename C>
void DeleteTableDirectory(const std::string& expanded, const C* filter, uint32_t onlyIfEmpty) {
    std::basic_string<C> target;
    if (filter) {
        size_t n = expanded.size();
        if (!StartsWithIgnoreCaseMixed<C>(expanded.c_str(), filter, n)) return;
        // The filter must lie in the listed directory, not merely share the
        // first characters of its name ("C:\App" is no prefix of "C:\Apple").
        size_t filterLength = Api<C>().length(filter);
        if (filterLength > n && filter[n] != C('\\') && expanded[n - 1] != '\\') return;
        target = filter;
    } else if constexpr (std::is_same_v<C, char>) {
        target = expanded;
    }
    if constexpr (std::is_same_v<C, wchar_t>) {
        std::wstring prefixed;
        if (filter) {
            if (target.size() + kLongPrefixChars > kMaxPathCharsNt) return;
            prefixed = kLongPrefix + target;
        } else if (!ToLongWidePath(expanded, prefixed)) {
            return;
        }
        target = prefixed;
    }
    if (!IsExistingDirectory(target.c_str())) return;

    int r = DeleteDirectory(target.data(), onlyIfEmpty ? 1 : 0, 1);
    if (r == 1) {
        ++g_stats.directoriesDeleted;
        WriteDirectoryOutcome(target.c_str(), kDirectoryDeleted);
    } else if (r == -1) {
        ++g_stats.directoriesPendingReboot;
        WriteDirectoryOutcome(target.c_str(), kDirectoryPendingReboot);
    } else {
        ++g_stats.directoriesNotDeleted;
        WriteDirectoryOutcome(target.c_str(), kDirectoryNotDeleted);
    }
}

template <typename C>
void RetryOne(const C* path) {
    const ApiSet<C>& api = Api<C>();
    FindData<C> data;
    HANDLE find = api.FindFirstFile(path, &data);
    if (find == INVALID_HANDLE_VALUE) {
        // Gone in the meantime (only "not found" says so; any other error
        // leaves the file to the deletion below, which reports it truly).
        if (IsNotFound(GetLastError())) {
            ++g_stats.filesDeleted;
            WriteFileOutcome(path, kDeletedText);
            return;
        }
    } else {
        api.FindClose(find);
    }
    DeleteFileLogged(path, 1);
}

}  // namespace

template <typename C>
int DeleteFileLogged(const C* path, int logging) {
    int r = CheckAndDelete(path, logging);
    if (r != -1) return r;
    if (ScheduleDeletion(path)) {
        if (logging) {
            g_run.rebootNeeded = true;
            ++g_stats.deletesPendingReboot;
            WriteFileOutcome(path, kPendingRebootText);
        }
        return -1;
    }
    if (logging) {
        ++g_stats.deleteFailed;
        WriteFileOutcome(path, kDeleteFailedText);
    }
    return 0;
}

template <typename C>
int DeleteListedFile(const C* path, int logging, WStrList& failed) {
    int r = CheckAndDelete(path, logging);
    if (r != -1) return r;
    AddToList(failed, path);
    return 0;
}

template <typename C>
int DeleteDirectory(C* path, int onlyIfEmpty, int onCopy) {
    if (CheckLongPath(path) != 0) return 0;
    const ApiSet<C>& api = Api<C>();
    const size_t max = g_run.maxPathChars;
    size_t length = api.length(path);
    std::vector<C> copy;
    C* buffer = path;
    if (onCopy) {
        copy.assign((onlyIfEmpty ? length + 4 : max) + 1, C(0));
        std::memcpy(copy.data(), path, (length + 1) * sizeof(C));
        buffer = copy.data();
    }

    bool hadEntries = false;
    if (max >= length + 5) {
        const C pattern[] = {C('\\'), C('*'), C('.'), C('*'), C(0)};
        std::memcpy(buffer + length, pattern, sizeof pattern);
        FindData<C> data;
        HANDLE find = api.FindFirstFile(buffer, &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (IsDotEntry(data.cFileName)) continue;
                hadEntries = true;
                if (onlyIfEmpty) break;
                // Room for the backslash, the name and the terminator.
                if (length + 1 + api.length(data.cFileName) > max) break;
                api.copy(buffer + length + 1, data.cFileName);
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileLogged<C>(buffer, 0);
                else if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                    api.RemoveDirectory(buffer);   // a link: remove it, never what it points to
                else
                    DeleteDirectory(buffer, 0, 0);
            } while (api.FindNextFile(find, &data));
            api.FindClose(find);
        }
        buffer[length] = C(0);
    }

    api.SetFileAttributes(buffer, FILE_ATTRIBUTE_NORMAL);
    if (api.RemoveDirectory(buffer)) return 1;
    if (IsNotFound(GetLastError())) return 0;
    if (onlyIfEmpty && hadEntries) return 0;
    if constexpr (std::is_same_v<C, wchar_t>) {
        if (g_run.isNtFamily && api.MoveFileEx && api.MoveFileEx(buffer, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            g_run.rebootNeeded = true;
            return -1;
        }
    }
    return 0;
}

template int DeleteFileLogged<char>(const char*, int);
template int DeleteFileLogged<wchar_t>(const wchar_t*, int);
template int DeleteListedFile<char>(const char*, int, WStrList&);
template int DeleteListedFile<wchar_t>(const wchar_t*, int, WStrList&);
template int DeleteDirectory<char>(char*, int, int);
template int DeleteDirectory<wchar_t>(wchar_t*, int, int);

void DeleteThreatFiles(TrevaskDlg& dlg) {
    for (const char* const* entry = g_def->threatFileList; entry && *entry && **entry; ++entry) {
        std::string expanded;
        if (!ExpandEntry(*entry, expanded)) continue;
        if (g_run.isNtFamily) {
            std::wstring path;
            if (ToLongWidePath(expanded, path)) DeleteListedFile(path.c_str(), 1, dlg.failedDeletes);
        } else {
            DeleteListedFile(expanded.c_str(), 1, dlg.failedDeletes);
        }
    }
}

void RetryFailedDeletes(TrevaskDlg& dlg) {
    try {
        WStrList& list = dlg.failedDeletes;
        size_t count = list.GetCount();
        for (size_t i = 0; i < count; ++i) {
            WStrList::Position at = list.FindIndex(i);
            if (!at) break;
            if (g_run.isNtFamily)
                RetryOne(static_cast<const wchar_t*>(list.GetAt(at)));
            else
                RetryOne(static_cast<const char*>(list.GetAt(at)));
        }
    } catch (...) {
    }
}

void DeleteThreatDirectories(TrevaskDlg&, const ThreatDirectory* table, const void* filterDirectory) {
    if (!table) return;
    for (const ThreatDirectory* entry = table; entry->path && entry->path[0]; ++entry) {
        std::string expanded;
        if (!ExpandEntry(entry->path, expanded)) continue;
        if (g_run.isNtFamily)
            DeleteTableDirectory(expanded, static_cast<const wchar_t*>(filterDirectory), entry->onlyIfEmpty);
        else
            DeleteTableDirectory(expanded, static_cast<const char*>(filterDirectory), entry->onlyIfEmpty);
    }
}

void DeleteDetectionDirectories(TrevaskDlg& dlg, const void* nativePath) {
    if (!nativePath) return;
    if (g_run.isNtFamily) {
        const wchar_t* path = static_cast<const wchar_t*>(nativePath);
        if (HasLongPrefix(path)) path += kLongPrefixChars;
        std::wstring folder = path;
        size_t cut = folder.rfind(L'\\');
        if (cut == std::wstring::npos) return;
        folder.resize(cut);
        DeleteThreatDirectories(dlg, g_def->directoryTables[2], folder.c_str());
    } else {
        std::string folder = static_cast<const char*>(nativePath);
        size_t cut = folder.rfind('\\');
        if (cut == std::string::npos) return;
        folder.resize(cut);
        DeleteThreatDirectories(dlg, g_def->directoryTables[2], folder.c_str());
    }
}
