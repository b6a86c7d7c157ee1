#include "scan/delete.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <type_traits>
#include <vector>

#include "run/dry_run_core.h"
#include "run/run_context.h"
#include "procs/terminate.h"
#include "scan/file_lines_core.h"
#include "run/native_path.h"
#include "scan/path_macros.h"
#include "scan/quarantine.h"
#include "scan/wininit_core.h"
#include "win32/unique_handle.h"

namespace {

const char kPendingRebootText[] = ": (will be deleted on next reboot)";
const char kPrefixNotFoundText[] = ": (WARNING: not deleted, prefix not found)";
const char kDeleteFailedLine[] = "Delete failed";
const char kDirectoryDeleted[] = "directory %s: (deleted)";
const char kDirectoryPendingReboot[] = "directory %s: (will be deleted on next reboot)";
const char kDirectoryNotDeleted[] = "directory %s: (WARNING: not deleted)";
const char kDirectoryWouldBeDeleted[] = "directory %s: (dry run) would be deleted";

template <typename C>
void WriteFileOutcome(RunLog& log, const C* path, const char* text) {
    log.Format("%s%s", ShortLogPath(path).c_str(), text);
}

template <typename C>
void WriteDirectoryOutcome(RunLog& log, const C* path, const char* format) {
    log.Format(format, ShortLogPath(path).c_str());
}

bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

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
bool ScheduleDeletion(const RemovalRun& run, const wchar_t* path) {
    auto move = run.api.wide.MoveFileEx;
    if (!move) return false;
    if (run.flags.isNt4 || run.flags.isWin2000) path = pathrules::SkipLongPrefix(path);
    return move(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

// WININIT.INI in the Windows directory; false when its path is too long.
bool WininitPath(char (&iniPath)[kWininitPathBytes]) {
    char windowsDir[kWininitPathBytes] = {};
    UINT n = GetWindowsDirectoryA(windowsDir, sizeof windowsDir);
    if (!n || n >= sizeof windowsDir) return false;
    return ComposeWininitPath(windowsDir, iniPath, sizeof iniPath);
}

// WININIT.INI takes 8.3 names only.
bool ShortName(const char* path, char (&out)[MAX_PATH]) {
    DWORD n = GetShortPathNameA(path, out, sizeof out);
    return n && n < sizeof out;
}

// 9x: a "NUL=" line in WININIT.INI.
bool ScheduleDeletion(const RemovalRun&, const char* path) {
    char iniPath[kWininitPathBytes];
    char shortPath[MAX_PATH] = {};
    if (!WininitPath(iniPath) || !ShortName(path, shortPath)) return false;
    PrivateProfile profile(iniPath);
    return AddNulRenameLine(profile, shortPath);
}

enum class TryResult { Deleted, NotThere, StillThere };

// Attributes reset, delete; when the file is held open, end the processes of
// the termination table and try once more.
template <typename C>
TryResult TryDelete(RemovalRun& run, const C* path) {
    const ApiSet<C>& api = run.api.Get<C>();
    api.SetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
    if (api.DeleteFile(path)) return TryResult::Deleted;
    if (IsNotFound(GetLastError())) return TryResult::NotThere;
    if (TerminateProcessesByImage(run, run.def->imageTerminationTable) != -1 && api.DeleteFile(path))
        return TryResult::Deleted;
    return TryResult::StillThere;
}

bool SamePath(const char* a, const char* b) { return _stricmp(a, b) == 0; }
bool SamePath(const wchar_t* a, const wchar_t* b) { return _wcsicmp(a, b) == 0; }

// A dry run's deletion: the file is looked at, never touched. One the walk
// already marked for deletion is not counted again (a real run's walk would
// have deleted it before the list came to it).
template <typename C>
TryResult WouldDelete(RemovalRun& run, const C* path, bool logging) {
    FindData<C> data;
    win32::UniqueFind find(run.api.Get<C>().FindFirstFile(path, &data));
    if (!find || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return TryResult::NotThere;
    for (size_t i = 0; i < run.wouldDelete.GetCount(); ++i) {
        WStrList::Position at = run.wouldDelete.FindIndex(i);
        if (at && SamePath(static_cast<const C*>(run.wouldDelete.GetAt(at)), path)) return TryResult::NotThere;
    }
    if (logging) {
        run.wouldDelete.Add(path);
        ++run.stats.filesDeleted;
        run.log.Format("%s: %s", ShortLogPath(path).c_str(), kWouldDeleteText);
    }
    return TryResult::Deleted;
}

// The steps both file deletions share.
template <typename C>
TryResult CheckAndDelete(RemovalRun& run, const C* path, bool logging) {
    PathCheck check = CheckLongPath(run.api.Get<C>(), path);
    if (check == PathCheck::Unusable) {
        if (logging) run.log.Line(kDeleteFailedLine);
        return TryResult::NotThere;
    }
    if (check == PathCheck::PrefixMissing) {
        if (logging) WriteFileOutcome(run.log, path, kPrefixNotFoundText);
        return TryResult::NotThere;
    }
    if (run.options.dryRun) return WouldDelete(run, path, logging);
    TryResult r = TryDelete(run, path);
    if (r == TryResult::Deleted && logging) {
        ++run.stats.filesDeleted;
        WriteFileOutcome(run.log, path, kDeletedText);
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

template <typename C>
bool IsDotEntry(const C* name) {
    return name[0] == C('.') && (name[1] == 0 || (name[1] == C('.') && name[2] == 0));
}

// A directory search must find the path, and it must be a directory.
template <typename C>
bool IsExistingDirectory(const RemovalRun& run, const C* path) {
    FindData<C> data;
    win32::UniqueFind find(run.api.Get<C>().FindFirstFile(path, &data));
    return find && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

template <typename C>
void DeleteTableDirectory(RemovalRun& run, const std::string& expanded, const C* filter, bool onlyIfEmpty) {
    std::basic_string<C> target;
    if (filter) {
        size_t n = expanded.size();
        if (!StartsWithIgnoreCaseMixed<C>(expanded.c_str(), filter, n)) return;
        // The filter must lie in the listed directory, not merely share the
        // first characters of its name ("C:\App" is no prefix of "C:\Apple").
        size_t filterLength = run.api.Get<C>().length(filter);
        if (filterLength > n && filter[n] != C('\\') && expanded[n - 1] != '\\') return;
        target = filter;
    } else if constexpr (std::is_same_v<C, char>) {
        target = expanded;
    }
    if constexpr (std::is_same_v<C, wchar_t>) {
        std::wstring prefixed;
        if (filter ? !LongWidePath(target, prefixed) : !LongWidePath(expanded, prefixed)) return;
        target = prefixed;
    }
    if (!IsExistingDirectory(run, target.c_str())) return;
    if (run.options.dryRun) {
        ++run.stats.directoriesDeleted;
        WriteDirectoryOutcome(run.log, target.c_str(), kDirectoryWouldBeDeleted);
        return;
    }

    DeleteOutcome r = DeleteDirectory(run, target.data(), onlyIfEmpty, true);
    if (r == DeleteOutcome::Deleted) {
        ++run.stats.directoriesDeleted;
        WriteDirectoryOutcome(run.log, target.c_str(), kDirectoryDeleted);
    } else if (r == DeleteOutcome::PendingRestart) {
        ++run.stats.directoriesPendingReboot;
        WriteDirectoryOutcome(run.log, target.c_str(), kDirectoryPendingReboot);
    } else {
        ++run.stats.directoriesNotDeleted;
        WriteDirectoryOutcome(run.log, target.c_str(), kDirectoryNotDeleted);
    }
}

template <typename C>
void RetryOne(RemovalRun& run, const C* path) {
    FindData<C> data;
    win32::UniqueFind find(run.api.Get<C>().FindFirstFile(path, &data));
    // Gone in the meantime (only "not found" says so; any other error leaves
    // the file to the deletion below, which reports it truly).
    if (!find && IsNotFound(GetLastError())) {
        ++run.stats.filesDeleted;
        WriteFileOutcome(run.log, path, kDeletedText);
        return;
    }
    find.reset();
    DeleteFileLogged(run, path, true);
}

}  // namespace

bool ScheduleReplacement9x(const char* target, const char* source) {
    char iniPath[kWininitPathBytes];
    char shortTarget[MAX_PATH] = {};
    char shortSource[MAX_PATH] = {};
    if (!WininitPath(iniPath) || !ShortName(target, shortTarget) || !ShortName(source, shortSource)) return false;
    PrivateProfile profile(iniPath);
    return AddRenameLine(profile, shortTarget, shortSource);
}

template <typename C>
DeleteOutcome DeleteFileLogged(RemovalRun& run, const C* path, bool logging) {
    TryResult r = CheckAndDelete(run, path, logging);
    if (r == TryResult::Deleted) return DeleteOutcome::Deleted;
    if (r == TryResult::NotThere) return DeleteOutcome::NotDeleted;
    if (ScheduleDeletion(run, path)) {
        if (logging) {
            run.flags.rebootNeeded = true;
            ++run.stats.deletesPendingReboot;
            WriteFileOutcome(run.log, path, kPendingRebootText);
        }
        return DeleteOutcome::PendingRestart;
    }
    if (logging) {
        ++run.stats.deleteFailed;
        WriteFileOutcome(run.log, path, kDeleteFailedText);
    }
    return DeleteOutcome::NotDeleted;
}

template <typename C>
bool DeleteListedFile(RemovalRun& run, const C* path, bool logging) {
    TryResult r = CheckAndDelete(run, path, logging);
    if (r == TryResult::StillThere) run.failedDeletes.Add(path);
    return r == TryResult::Deleted;
}

template <typename C>
DeleteOutcome DeleteDirectory(RemovalRun& run, C* path, bool onlyIfEmpty, bool onCopy) {
    const ApiSet<C>& api = run.api.Get<C>();
    if (CheckLongPath(api, path) != PathCheck::Usable) return DeleteOutcome::NotDeleted;
    const size_t max = run.flags.maxPathChars;
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
        win32::UniqueFind find(api.FindFirstFile(buffer, &data));
        if (find) {
            do {
                if (IsDotEntry(data.cFileName)) continue;
                hadEntries = true;
                if (onlyIfEmpty) break;
                // Room for the backslash, the name and the terminator.
                if (length + 1 + api.length(data.cFileName) > max) break;
                api.copy(buffer + length + 1, data.cFileName);
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileLogged<C>(run, buffer, false);
                else if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                    api.RemoveDirectory(buffer);   // a link: remove it, never what it points to
                else
                    DeleteDirectory(run, buffer, false, false);
            } while (api.FindNextFile(find.get(), &data));
        }
        buffer[length] = C(0);
    }

    api.SetFileAttributes(buffer, FILE_ATTRIBUTE_NORMAL);
    if (api.RemoveDirectory(buffer)) return DeleteOutcome::Deleted;
    if (IsNotFound(GetLastError())) return DeleteOutcome::NotDeleted;
    if (onlyIfEmpty && hadEntries) return DeleteOutcome::NotDeleted;
    if constexpr (std::is_same_v<C, wchar_t>) {
        if (run.flags.isNtFamily && api.MoveFileEx && api.MoveFileEx(buffer, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            run.flags.rebootNeeded = true;
            return DeleteOutcome::PendingRestart;
        }
    }
    return DeleteOutcome::NotDeleted;
}

template DeleteOutcome DeleteFileLogged<char>(RemovalRun&, const char*, bool);
template DeleteOutcome DeleteFileLogged<wchar_t>(RemovalRun&, const wchar_t*, bool);
template bool DeleteListedFile<char>(RemovalRun&, const char*, bool);
template bool DeleteListedFile<wchar_t>(RemovalRun&, const wchar_t*, bool);
template DeleteOutcome DeleteDirectory<char>(RemovalRun&, char*, bool, bool);
template DeleteOutcome DeleteDirectory<wchar_t>(RemovalRun&, wchar_t*, bool, bool);

namespace {

// With /QUARANTINE= a listed file is deleted only once its copy is kept.
template <typename C>
void DeleteListedKept(RemovalRun& run, const C* path) {
    std::string kept;
    if (!QuarantineFile(run, path, "deleted", kept)) {
        ++run.stats.deleteFailed;
        WriteFileOutcome(run.log, path, kQuarantineCopyFailedText);
        return;
    }
    DeleteListedFile(run, path, true);
}

}  // namespace

void DeleteThreatFiles(RemovalRun& run) {
    for (const char* const* entry = run.def->threatFileList; entry && *entry && **entry; ++entry) {
        std::string expanded;
        if (!ExpandEntry(*entry, expanded)) continue;
        if (run.flags.isNtFamily) {
            std::wstring path;
            if (LongWidePath(expanded, path)) DeleteListedKept(run, path.c_str());
        } else {
            DeleteListedKept(run, expanded.c_str());
        }
    }
}

void RetryFailedDeletes(RemovalRun& run) {
    try {
        WStrList& list = run.failedDeletes;
        size_t count = list.GetCount();
        for (size_t i = 0; i < count; ++i) {
            WStrList::Position at = list.FindIndex(i);
            if (!at) break;
            if (run.flags.isNtFamily)
                RetryOne(run, static_cast<const wchar_t*>(list.GetAt(at)));
            else
                RetryOne(run, static_cast<const char*>(list.GetAt(at)));
        }
    } catch (...) {
    }
}

void DeleteThreatDirectories(RemovalRun& run, const ThreatDirectory* table, const void* filterDirectory) {
    if (!table) return;
    for (const ThreatDirectory* entry = table; entry->path && entry->path[0]; ++entry) {
        std::string expanded;
        if (!ExpandEntry(entry->path, expanded)) continue;
        if (run.flags.isNtFamily)
            DeleteTableDirectory(run, expanded, static_cast<const wchar_t*>(filterDirectory), entry->onlyIfEmpty);
        else
            DeleteTableDirectory(run, expanded, static_cast<const char*>(filterDirectory), entry->onlyIfEmpty);
    }
}

void DeleteDetectionDirectories(RemovalRun& run, const void* nativePath) {
    if (!nativePath) return;
    if (run.flags.isNtFamily) {
        std::wstring folder = pathrules::SkipLongPrefix(static_cast<const wchar_t*>(nativePath));
        size_t cut = folder.rfind(L'\\');
        if (cut == std::wstring::npos) return;
        folder.resize(cut);
        DeleteThreatDirectories(run, run.def->directoryTables[2], folder.c_str());
    } else {
        std::string folder = static_cast<const char*>(nativePath);
        size_t cut = folder.rfind('\\');
        if (cut == std::string::npos) return;
        folder.resize(cut);
        DeleteThreatDirectories(run, run.def->directoryTables[2], folder.c_str());
    }
}
