#include "scan/walk.h"

#include <cstring>
#include <cwchar>
#include <type_traits>

#include "scan/protection.h"
#include "run/run_context.h"
#include "fix/com_cleanup.h"
#include "scan/detect.h"
#include "scan/file_lines_core.h"
#include "run/native_path.h"
#include "scan/quarantine.h"
#include "scan/repair.h"
#include "win32/unique_handle.h"

namespace {

const char kAllocationFailed[] = "\r\nAllocating memory fails. No files were scanned by the tool...";
const char kPathTooLong[] = "(WARNING: not scanned, path too long)";
const char kOnlyDirNotFound[] = "directory %s: (WARNING: not scanned, not found)";
const char kComServerUnregistered[] = "COM Server: %s (unregistered)";
const char kLinkOutOfTree[] = "(WARNING: not scanned, link to outside the /ONLYDIR= folder)";
const char kOnlyDirRest[] = "WARNING: \"%s\" was taken as another argument: a path with blanks must be quoted";

constexpr size_t kBufferBytesNt = 65536;   // 32768 wide characters
constexpr size_t kBufferBytes9x = 261;
// A repaired file is scanned again; a repair that never ends is cut off here.
constexpr int kMaxRepairLayers = 1000;

template <typename C>
constexpr bool kWide = std::is_same_v<C, wchar_t>;

// The same literal in the walk's string kind.
template <typename C>
constexpr const C* Lit(const char* narrow, const wchar_t* wide) {
    if constexpr (kWide<C>) return wide;
    else return narrow;
}
#define NATIVE(C, text) Lit<C>(text, L##text)

template <typename C>
bool IsDotEntry(const C* name) {
    return name[0] == C('.') && (name[1] == 0 || (name[1] == C('.') && name[2] == 0));
}

// "<path>\<name>: (WARNING: not scanned, path too long)"; on the NT family
// the two parts are shortened for the log each.
template <typename C>
void WriteEntryTooLong(RunLog& log, const C* directory, const C* name) {
    if constexpr (kWide<C>) {
        std::string line = ShortLogPath(directory) + "\\" + ShortLogPath(name);
        log.PathLine(line.c_str(), "%s", kPathTooLong);
    } else {
        char line[2 * kBufferBytes9x + 2];
        std::snprintf(line, sizeof line, "%s\\%s", directory, name);
        log.PathLine(line, "%s", kPathTooLong);
    }
}

const char* DetectionName(const RemovalRun& run, int verdict) {
    const char* name = verdict >= 1 && verdict <= 3 ? run.def->detectionNames[verdict] : nullptr;
    return name ? name : "";
}

// Shows the file (path without "\\?\") on the display; nothing in silent mode.
template <typename C>
void ShowCurrentFile(const RemovalRun& run, RunProgress& progress, const C* path) {
    if (run.options.silentMode) return;
    if constexpr (kWide<C>) {
        char text[2 * kLogPathChars + 1];
        if (!ShortenForLog(path, text, sizeof text, kLogPathChars)) return;
        progress.ShowCurrentFile(text);
    } else {
        progress.ShowCurrentFile(path);
    }
}

// "X:" alone is the drive's current directory (with "\\?\" the volume): its root is "X:\".
template <typename C>
bool IsDriveOnly(const C* path, size_t length) {
    return length && path[length - 1] == C(':');
}

// Where an open file really is (links resolved), without "\\?\"; false
// when the system cannot say.
template <typename C>
bool RealPathOf(const ApiSet<C>& api, HANDLE file, std::basic_string<C>& out) {
    out.clear();
    if (!api.GetFinalPathNameByHandle || !file || file == INVALID_HANDLE_VALUE) return false;
    std::basic_string<C> text(MAX_PATH + 1, C(0));
    DWORD n = api.GetFinalPathNameByHandle(file, text.data(), static_cast<DWORD>(text.size()), 0);
    if (n >= text.size()) {
        text.assign(n + 1, C(0));
        n = api.GetFinalPathNameByHandle(file, text.data(), static_cast<DWORD>(text.size()), 0);
    }
    if (n == 0 || n >= text.size()) return false;
    text.resize(n);
    out = pathrules::WithoutLongPrefix(text);
    return !out.empty();
}

template <typename C>
win32::UniqueFile OpenForAttributes(const ApiSet<C>& api, const C* path) {
    return win32::UniqueFile(api.CreateFile(path, FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The file identity of the directory at `path` (`length` characters; the
// buffer has room for two more), and where it really is when `real` is asked
// for. A directory that cannot be opened (9x opens none, and there the
// 260-character limit is what ends a walk around a loop) and a zero index
// (file systems that give none) leave it unknown.
template <typename C>
WalkedDirectory IdentifyDirectory(const ApiSet<C>& api, C* path, size_t length, const WalkedDirectory* parent,
                                  std::basic_string<C>* real = nullptr) {
    WalkedDirectory self;
    self.parent = parent;
    if (IsDriveOnly(path, length)) {
        path[length] = C('\\');
        path[length + 1] = 0;
    }
    win32::UniqueFile directory = OpenForAttributes(api, static_cast<const C*>(path));
    path[length] = 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (directory && GetFileInformationByHandle(directory.get(), &info) &&
        (info.nFileIndexHigh | info.nFileIndexLow) != 0) {
        self.known = true;
        self.volume = info.dwVolumeSerialNumber;
        self.indexHigh = info.nFileIndexHigh;
        self.indexLow = info.nFileIndexLow;
    }
    if (real) RealPathOf(api, directory.get(), *real);
    return self;
}

bool SameDirectory(const WalkedDirectory& a, const WalkedDirectory& b) {
    return a.known && b.known && a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

bool OnCurrentPath(const WalkedDirectory& self) {
    if (!self.known) return false;
    for (const WalkedDirectory* above = self.parent; above; above = above->parent)
        if (SameDirectory(*above, self)) return true;
    return false;
}

// An excluded tree by what the folder is, not by the path that led to it:
// one of the excluded folders itself, or, for a folder reached through a
// link, a real path that an exclusion covers (the prefix rule of the switch,
// or below where an excluded folder really is).
template <typename C>
bool ExcludedByWhatItIs(const RunOptions& options, const WalkScope<C>& scope, const WalkedDirectory& self,
                        const std::basic_string<C>& real) {
    for (const WalkedDirectory& excluded : scope.excludedFolders)
        if (SameDirectory(excluded, self)) return true;
    if (real.empty()) return false;
    for (const std::string& prefix : options.exclusionList)
        if (StartsWithIgnoreCaseMixed(prefix.c_str(), real.c_str(), prefix.size())) return true;
    for (const std::basic_string<C>& tree : scope.excludedReal)
        if (WithinTreeIgnoreCase(real, tree)) return true;
    return false;
}

// A link in a /ONLYDIR= walk that leads out of the tree, or whose target the
// system cannot tell; `real` is where it leads when known.
template <typename C>
bool LeavesTree(const WalkScope<C>& scope, const std::basic_string<C>& real) {
    return real.empty() || scope.root.empty() || !WithinTreeIgnoreCase(real, scope.root);
}

// A /ONLYDIR= or /EXCLUDE= text as a full path: "\\?\" accepted, relative
// parts and "." and ".." resolved ("X:" alone stays the drive). The text
// itself when the system cannot resolve it.
template <typename C>
std::basic_string<C> FullPath(const ApiSet<C>& api, const std::basic_string<C>& given) {
    std::basic_string<C> text = pathrules::WithoutLongPrefix(given);
    if (text.empty() || IsDriveOnly(text.c_str(), text.size()) || !api.GetFullPathName) return text;
    DWORD need = api.GetFullPathName(text.c_str(), 0, nullptr, nullptr);
    if (need == 0 || need > kMaxPathCharsNt) return text;
    std::basic_string<C> full(need + 1, C(0));
    DWORD n = api.GetFullPathName(text.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size()) return text;
    full.resize(n);
    return full;
}

// The native "\\?\" form (NT family) or the ANSI text (9x) of a full path.
template <typename C>
std::basic_string<C> NativeForm(const std::basic_string<C>& full) {
    if constexpr (kWide<C>) return std::wstring(kLongPrefix) + full;
    else return full;
}

// The excluded folders that exist, by identity and where they really are.
template <typename C>
void ResolveExclusions(const ApiSet<C>& api, const RunOptions& options, WalkScope<C>& scope) {
    if (!options.exclusionsGiven) return;
    for (const std::string& prefix : options.exclusionList) {
        std::basic_string<C> given;
        if constexpr (kWide<C>) {
            if (!WideFromAnsi(prefix, given)) continue;
        } else {
            given = prefix;
        }
        std::basic_string<C> path = NativeForm(FullPath(api, given));
        while (path.size() > 1 && path.back() == C('\\')) path.pop_back();
        if (path.size() + 2 > api.maxPathChars) continue;
        std::basic_string<C> buffer = path;
        buffer.resize(path.size() + 2, C(0));
        std::basic_string<C> real;
        WalkedDirectory folder = IdentifyDirectory(api, buffer.data(), path.size(), nullptr, &real);
        if (folder.known) scope.excludedFolders.push_back(folder);
        if (!real.empty()) scope.excludedReal.push_back(real);
    }
}

// Whether the /ONLYDIR= path names a directory the walk can list: its search
// starts, or finds nothing at all in a drive's root (which has no "."). A
// missing path, a file or an empty name is none; `isFile` tells a file.
template <typename C>
bool CanList(const ApiSet<C>& api, C* path, size_t length, bool& isFile) {
    isFile = false;
    api.append(path, NATIVE(C, "\\*.*"));
    FindData<C> entry;
    win32::UniqueFind search(api.FindFirstFile(path, &entry));
    DWORD error = search ? NO_ERROR : GetLastError();
    path[length] = 0;
    if (search || (error == ERROR_FILE_NOT_FOUND && IsDriveOnly(path, length))) return true;
    win32::UniqueFind itself(api.FindFirstFile(path, &entry));
    isFile = itself && !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    return false;
}

template <typename C>
bool ScanDrivesAs(RemovalRun& run, RunProgress& progress) {
    const ApiSet<C>& api = run.api.Get<C>();
    size_t limit = run.flags.maxPathChars;
    size_t bytes = kWide<C> ? kBufferBytesNt : kBufferBytes9x;
    if ((limit + 1) * sizeof(C) > bytes) bytes = (limit + 1) * sizeof(C);
    win32::UniquePages buffer(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!buffer) {
        run.log.Line(kAllocationFailed);
        return true;
    }
    C* path = static_cast<C*>(buffer.get());
    path[0] = 0;

    // A dry run only reads, and pausing would leave the machine unguarded
    // for nothing: the protection stays as it is.
    RealtimeProtectionControl protection(run.flags.isNtFamily);
    if (!run.options.dryRun) {
        protection.LoadProtectionLibrary();
        protection.PauseRealtimeProtection();
    }
    // The protection comes back however the walk ends, an exception included.
    win32::ScopeGuard resume([&protection, &run] {
        if (run.options.dryRun) return;
        protection.ResumeRealtimeProtection();
        protection.UnloadProtectionLibrary();
    });

    bool result = true;
    WalkScope<C> scope;
    ResolveExclusions(api, run.options, scope);
    // The /ONLYDIR= tree as a full path in native text: "\\?\" and its wide
    // form on the NT family. A /ONLYDIR= that cannot be used is not scanned;
    // it never turns the walk into one of every drive.
    const std::optional<std::string>& onlyDir = run.options.onlyDirPath;
    std::basic_string<C> onlyNative;
    if (onlyDir) {
        if constexpr (kWide<C>) WideFromAnsi(*onlyDir, onlyNative);
        else onlyNative = *onlyDir;
        onlyNative = FullPath(api, onlyNative);
    }

    if (!onlyDir) {
        char roots[4 * 26 + 2] = {};
        DWORD got = GetLogicalDriveStringsA(sizeof roots - 1, roots);
        if (got >= sizeof roots) got = 0;
        for (const char* root = roots; *root && !run.flags.cancelRequested; root += std::strlen(root) + 1) {
            if (root[1] != ':') break;
            UINT type = GetDriveTypeA(root);
            if (type != DRIVE_FIXED && !(type == DRIVE_REMOTE && run.options.scanMappedDrives)) continue;
            // "\\?\" and the drive letter with its colon, without the backslash.
            size_t n = 0;
            if constexpr (kWide<C>)
                for (const wchar_t* p = kLongPrefix; *p; ++p) path[n++] = *p;
            path[n++] = static_cast<unsigned char>(root[0]);
            path[n++] = C(':');
            path[n] = 0;
            if (!ScanDirectory(run, progress, path, nullptr, &scope)) result = false;
        }
    } else {
        // A trailing backslash would double at the first entry.
        while (onlyNative.size() > 1 && onlyNative.back() == C('\\')) onlyNative.pop_back();
        size_t prefix = kWide<C> ? pathrules::kLongPrefixChars : 0;
        size_t length = prefix + onlyNative.size();
        bool found = false, isFile = false;
        if (!onlyNative.empty() && length <= limit && CheckLongPath(api, onlyNative.c_str()) != PathCheck::Unusable) {
            api.copy(path, NATIVE(C, ""));
            if constexpr (kWide<C>) api.copy(path, kLongPrefix);
            api.append(path, onlyNative.c_str());
            // Too long to list: the walk itself says so.
            found = limit < length + 4 || CanList(api, path, length, isFile);
        }
        if (found) {
            scope.onlyTree = true;
            if (limit >= length + 4) IdentifyDirectory(api, path, length, nullptr, &scope.root);
            result = ScanDirectory(run, progress, path, nullptr, &scope);
        } else {
            run.flags.treeScan = isFile ? TreeScan::NamesAFile : TreeScan::FolderMissing;
            // Into the report too, so that "not found" never stands alone
            // over a directory that was not scanned at all.
            run.log.ReportFormat(kOnlyDirNotFound, ShortLogPath(onlyDir->c_str()).c_str());
            if (!run.options.onlyDirRest.empty())
                run.log.ReportFormat(kOnlyDirRest, run.options.onlyDirRest.c_str());
            result = false;
        }
    }

    return result;
}

}  // namespace

template <typename C>
bool ScanFile(RemovalRun& run, RunProgress& progress, C* path, DWORD attributes) {
    const ApiSet<C>& api = run.api.Get<C>();
    if (CheckLongPath(api, path) != PathCheck::Usable) return false;
    ShowCurrentFile(run, progress, pathrules::SkipLongPrefix(path));
    ++run.stats.filesScanned;

    // Read-only, hidden and system files get normal attributes for the work
    // that writes them (the signature cut, a repair or deletion) and their
    // own back after it; a file that is only read keeps them throughout.
    const DWORD kGuarded = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    bool restore = false;
    auto makeWritable = [&] {
        if (restore || !(attributes & kGuarded)) return;
        api.SetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
        restore = true;
    };
    win32::ScopeGuard restoreAttributes([&] {
        if (restore) api.SetFileAttributes(path, attributes);
    });

    // A dry run only reads: no attribute, cut or repair touches the file.
    if (run.options.dryRun) {
        int verdict = OpenAndDetect(run, static_cast<const C*>(path));
        if (verdict != 0)
            DryRunDetected(run, static_cast<const C*>(path), verdict, [&](int layer) {
                WritePathLine(run.log, path, kInfectedWithText, DetectionName(run, layer));
                ++run.stats.infections;
            });
        return !run.flags.cancelRequested;
    }

    const CutRepairEntry* cuts = run.def->cutRepairTable;
    if (cuts && cuts->firstLength != 0) makeWritable();
    if (CutRepairStep(run, static_cast<const C*>(path)) == CutOutcome::NothingFound) {
        // With /QUARANTINE= the file's copy is kept before its first change,
        // and what the change left joins it once the repairs are done.
        std::string entry;
        std::basic_string<C> left;
        for (int layer = 0; layer < kMaxRepairLayers; ++layer) {
            int verdict = OpenAndDetect(run, static_cast<const C*>(path));
            if (verdict == 0) break;
            WritePathLine(run.log, path, kInfectedWithText, DetectionName(run, verdict));
            if (run.def->unregisterInfectedServers) {
                // The COM tool gets the log text, or nothing for a long path.
                std::string text;
                if (api.length(path) <= kLogPathChars) text = ShortLogPath(static_cast<const C*>(path));
                if (UnregisterComServer(text.c_str(), run.limits.unregisterWaitMs)) run.log.Format(kComServerUnregistered, text.c_str());
            }
            ++run.stats.infections;
            const char* action = verdict == kVerdictInfectedHost ? "repaired" : "deleted";
            if (layer == 0 && !QuarantineFile(run, static_cast<const C*>(path), action, entry)) {
                WritePathLine(run.log, path, "%s", kQuarantineCopyFailedText);
                ++(verdict == kVerdictInfectedHost ? run.stats.repairsFailed : run.stats.deleteFailed);
                break;
            }
            makeWritable();
            RepairResult<C> repair = RepairFile(run, static_cast<const C*>(path), verdict);
            if (repair.outcome == RepairOutcome::Repaired) left = path;
            if (repair.outcome == RepairOutcome::PendingRestart) left = repair.copy.c_str();
            if (repair.outcome == RepairOutcome::PendingRestart) {
                // The copy stands in for the file until the restart: shown,
                // counted and, if still infected, repaired in turn.
                ScanFile(run, progress, repair.copy.data(), FILE_ATTRIBUTE_NORMAL);
                FinishRepairAtRestart(run, static_cast<const C*>(path));
            }
            if (repair.outcome != RepairOutcome::Repaired) break;
        }
        if (!entry.empty() && !left.empty()) RecordQuarantineLeft(run, left.c_str(), entry);
    }

    return !run.flags.cancelRequested;
}

template <typename C>
bool ScanDirectory(RemovalRun& run, RunProgress& progress, C* path, const WalkedDirectory* parent,
                   const WalkScope<C>* scope, bool isLink) {
    const ApiSet<C>& api = run.api.Get<C>();
    if (CheckLongPath(api, path) != PathCheck::Usable || run.flags.cancelRequested) return false;

    // Excluded trees are skipped silently; a prefix match also skips the
    // siblings that begin with the excluded name. Files are never compared.
    const RunOptions& options = run.options;
    if (options.exclusionsGiven) {
        const C* shown = pathrules::SkipLongPrefix(path);
        for (const std::string& prefix : options.exclusionList)
            if (StartsWithIgnoreCaseMixed(prefix.c_str(), shown, prefix.size())) return true;
    }

    const size_t limit = run.flags.maxPathChars;
    const size_t length = api.length(path);
    const bool throughLink = isLink || (parent && parent->throughLink);
    // Where a folder reached through a link really is decides whether a
    // /ONLYDIR= walk goes in, and whether an exclusion covers it.
    const bool wantReal = scope && ((isLink && scope->onlyTree) || (throughLink && options.exclusionsGiven));
    std::basic_string<C> real;
    // A link or junction back to a directory being walked: walked once.
    WalkedDirectory self = limit < length + 4 ? WalkedDirectory{}
                                              : IdentifyDirectory(api, path, length, parent, wantReal ? &real : nullptr);
    self.throughLink = throughLink;
    if (OnCurrentPath(self)) return !run.flags.cancelRequested;
    if (scope && limit >= length + 4) {
        if (isLink && scope->onlyTree && LeavesTree(*scope, real)) {
            WritePathLine(run.log, static_cast<const C*>(path), "%s", kLinkOutOfTree);
            return !run.flags.cancelRequested;
        }
        if (options.exclusionsGiven && ExcludedByWhatItIs(options, *scope, self, real)) return !run.flags.cancelRequested;
    }
    if (limit < length + 4) {
        WritePathLine(run.log, static_cast<const C*>(path), "%s", kPathTooLong);
    } else if (IsQuarantineFolder(run, static_cast<const C*>(path))) {
        run.log.Format("directory %s: %s", ShortLogPath(static_cast<const C*>(path)).c_str(), kQuarantineSkippedText);
    } else {
        api.append(path, NATIVE(C, "\\*.*"));
        FindData<C> entry;
        win32::UniqueFind search(api.FindFirstFile(path, &entry));
        if (search) {
            do {
                path[length] = 0;
                size_t nameLength = api.length(entry.cFileName);
                if (limit < length + nameLength + 1) {
                    // The rest of this directory is not visited.
                    WriteEntryTooLong(run.log, static_cast<const C*>(path), static_cast<const C*>(entry.cFileName));
                    break;
                }
                path[length] = C('\\');
                std::memcpy(path + length + 1, entry.cFileName, (nameLength + 1) * sizeof(C));
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                    if (!IsDotEntry(entry.cFileName)) ScanDirectory(run, progress, path, &self, scope, link);
                } else {
                    // A file link is scanned as the file it stands for: a
                    // repair replaces the link, never the file it leads to.
                    ScanFile(run, progress, path, entry.dwFileAttributes);
                }
                progress.PumpOneMessage();
            } while (!run.TakeCancel(progress) && api.FindNextFile(search.get(), &entry));
        }
    }
    path[length] = 0;
    return !run.flags.cancelRequested;
}

bool ScanDrives(RemovalRun& run, RunProgress& progress) {
    return run.flags.isNtFamily ? ScanDrivesAs<wchar_t>(run, progress) : ScanDrivesAs<char>(run, progress);
}

template bool ScanDirectory<char>(RemovalRun&, RunProgress&, char*, const WalkedDirectory*, const WalkScope<char>*,
                                  bool);
template bool ScanDirectory<wchar_t>(RemovalRun&, RunProgress&, wchar_t*, const WalkedDirectory*,
                                     const WalkScope<wchar_t>*, bool);
template bool ScanFile<char>(RemovalRun&, RunProgress&, char*, DWORD);
template bool ScanFile<wchar_t>(RemovalRun&, RunProgress&, wchar_t*, DWORD);
