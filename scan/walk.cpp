#include "scan/walk.h"

#include <cstring>
#include <cwchar>
#include <type_traits>

#include "app/TrevaskDlg.h"
#include "app/log.h"
#include "app/protection.h"
#include "app/run_state.h"
#include "app/threat_definition.h"
#include "fix/com_cleanup.h"
#include "scan/api_table.h"
#include "scan/detect.h"
#include "scan/path_rules_core.h"
#include "scan/repair.h"

namespace {

const char kAllocationFailed[] = "\r\nAllocating memory fails. No files were scanned by the tool...";
const char kPathTooLong[] = "(WARNING: not scanned, path too long)";
const char kInfectedWith[] = "infected with %s";
const char kComServerUnregistered[] = "COM Server: %s (unregistered)";

constexpr size_t kLogPathChars = 260;
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

// The walk's path buffer, from the page allocator.
class PageBuffer {
public:
    explicit PageBuffer(size_t bytes)
        : m_data(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
    ~PageBuffer() {
        if (m_data) VirtualFree(m_data, 0, MEM_RELEASE);
    }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    void* get() const { return m_data; }

private:
    void* m_data;
};

class SearchHandle {
public:
    explicit SearchHandle(HANDLE h, BOOL(WINAPI* close)(HANDLE)) : m_h(h), m_close(close) {}
    ~SearchHandle() {
        if (m_h != INVALID_HANDLE_VALUE) m_close(m_h);
    }
    SearchHandle(const SearchHandle&) = delete;
    SearchHandle& operator=(const SearchHandle&) = delete;

private:
    HANDLE m_h;
    BOOL(WINAPI* m_close)(HANDLE);
};

template <typename C>
bool IsDotEntry(const C* name) {
    return name[0] == C('.') && (name[1] == 0 || (name[1] == C('.') && name[2] == 0));
}

// ANSI log text of a native path (without "\\?\"), at most 260 characters on
// the NT family; empty when it cannot be converted.
template <typename C>
void LogText(const C* path, char* out, size_t outBytes) {
    out[0] = '\0';
    if constexpr (kWide<C>) {
        if (!ShortenForLog(pathrules::SkipLongPrefix(path), out, outBytes, kLogPathChars)) out[0] = '\0';
    } else {
        size_t n = strnlen(path, outBytes - 1);
        std::memcpy(out, path, n);
        out[n] = '\0';
    }
}

// "<path>\<name>: (WARNING: not scanned, path too long)"; on the NT family
// the two parts are shortened for the log each.
template <typename C>
void WriteEntryTooLong(const C* directory, const C* name) {
    if constexpr (kWide<C>) {
        char head[2 * kLogPathChars + 2], tail[2 * kLogPathChars + 2];
        LogText(directory, head, sizeof head);
        LogText(name, tail, sizeof tail);
        char line[sizeof head + sizeof tail + 1];
        std::snprintf(line, sizeof line, "%s\\%s", head, tail);
        WritePathLine(line, "%s", kPathTooLong);
    } else {
        char line[2 * kBufferBytes9x + 2];
        std::snprintf(line, sizeof line, "%s\\%s", directory, name);
        WritePathLine(line, "%s", kPathTooLong);
    }
}

const char* DetectionName(int verdict) {
    const char* name = verdict >= 1 && verdict <= 3 ? g_def->detectionNames[verdict] : nullptr;
    return name ? name : "";
}

template <typename C>
int ScanDrivesAs(TrevaskDlg& dlg) {
    const ApiSet<C>& api = Api<C>();
    size_t limit = g_run.maxPathChars;
    size_t bytes = kWide<C> ? kBufferBytesNt : kBufferBytes9x;
    if ((limit + 1) * sizeof(C) > bytes) bytes = (limit + 1) * sizeof(C);
    PageBuffer buffer(bytes);
    if (!buffer.get()) {
        WriteTextLine(kAllocationFailed);
        return 1;
    }
    C* path = static_cast<C*>(buffer.get());
    path[0] = 0;

    RealtimeProtectionControl protection;
    protection.LoadProtectionLibrary();
    protection.PauseRealtimeProtection();

    int result = 1;
    // The /ONLYDIR= tree in native text: "\\?\" and its wide form on the NT family.
    const std::optional<std::string>& onlyDir = g_run.onlyDirPath;
    std::basic_string<C> onlyNative;
    bool onlyUsable = false;
    if (onlyDir) {
        if constexpr (kWide<C>) {
            int n = MultiByteToWideChar(CP_ACP, 0, onlyDir->c_str(), -1, nullptr, 0);
            if (n > 0) {
                onlyNative.resize(n);
                MultiByteToWideChar(CP_ACP, 0, onlyDir->c_str(), -1, onlyNative.data(), n);
                onlyNative.resize(n - 1);
            }
        } else {
            onlyNative = *onlyDir;
        }
        onlyUsable = CheckLongPath(onlyNative.c_str()) != -1;
    }

    if (!onlyUsable) {
        char roots[4 * 26 + 2] = {};
        DWORD got = GetLogicalDriveStringsA(sizeof roots - 1, roots);
        if (got >= sizeof roots) got = 0;
        for (const char* root = roots; *root && !g_run.cancelRequested; root += std::strlen(root) + 1) {
            if (root[1] != ':') break;
            UINT type = GetDriveTypeA(root);
            if (type != DRIVE_FIXED && !(type == DRIVE_REMOTE && dlg.options.scanMappedDrives)) continue;
            // "\\?\" and the drive letter with its colon, without the backslash.
            size_t n = 0;
            if constexpr (kWide<C>)
                for (const wchar_t* p = L"\\\\?\\"; *p; ++p) path[n++] = *p;
            path[n++] = static_cast<unsigned char>(root[0]);
            path[n++] = C(':');
            path[n] = 0;
            if (!ScanDirectory(dlg, path)) result = 0;
        }
    } else {
        // A trailing backslash would double at the first entry.
        while (onlyNative.size() > 1 && onlyNative.back() == C('\\')) onlyNative.pop_back();
        size_t prefix = kWide<C> ? pathrules::kLongPrefixChars : 0;
        if (prefix + onlyNative.size() <= limit) {
            api.copy(path, NATIVE(C, ""));
            if constexpr (kWide<C>) api.copy(path, L"\\\\?\\");
            api.append(path, onlyNative.c_str());
            result = ScanDirectory(dlg, path);
        } else {
            result = 0;
        }
    }

    protection.ResumeRealtimeProtection();
    protection.UnloadProtectionLibrary();
    return result;
}

}  // namespace

template <typename C>
void ShowCurrentFile(TrevaskDlg& dlg, const C* path) {
    if (g_run.silentMode) return;
    if constexpr (kWide<C>) {
        char text[2 * kLogPathChars + 1];
        if (!ShortenForLog(path, text, sizeof text, kLogPathChars)) return;
        dlg.ShowCurrentFile(text);
    } else {
        dlg.ShowCurrentFile(path);
    }
}

template <typename C>
int ScanFile(TrevaskDlg& dlg, C* path, DWORD attributes) {
    if (CheckLongPath(path) != 0) return 0;
    const ApiSet<C>& api = Api<C>();
    ShowCurrentFile(dlg, pathrules::SkipLongPrefix(path));
    ++g_stats.filesScanned;

    const DWORD kGuarded = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    bool restore = (attributes & kGuarded) != 0;
    if (restore) api.SetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);

    if (CutRepairStep(dlg, static_cast<const C*>(path)) == 0) {
        for (int layer = 0; layer < kMaxRepairLayers; ++layer) {
            int verdict = OpenAndDetect(dlg, static_cast<const C*>(path));
            if (verdict == 0) break;
            WritePathLine(path, kInfectedWith, DetectionName(verdict));
            if (g_def->unregisterInfectedServers) {
                // The COM tool gets the log text, or nothing for a long path.
                char text[2 * kLogPathChars + 1] = {};
                if (api.length(path) <= kLogPathChars) LogText(path, text, sizeof text);
                if (UnregisterComServer(text)) WriteFormattedLine(kComServerUnregistered, text);
            }
            ++g_stats.infections;
            if (RepairFile(dlg, static_cast<const C*>(path), verdict) <= 0) break;
        }
    }

    if (restore) api.SetFileAttributes(path, attributes);
    return g_run.cancelRequested ? 0 : 1;
}

template <typename C>
int ScanDirectory(TrevaskDlg& dlg, C* path) {
    if (CheckLongPath(path) != 0 || g_run.cancelRequested) return 0;
    const ApiSet<C>& api = Api<C>();

    // Excluded trees are skipped silently; a prefix match also skips the
    // siblings that begin with the excluded name. Files are never compared.
    const RunOptions& options = dlg.options;
    if (options.exclusionsGiven) {
        const C* shown = pathrules::SkipLongPrefix(path);
        for (const std::string& prefix : options.exclusionList)
            if (StartsWithIgnoreCaseMixed(prefix.c_str(), shown, prefix.size())) return 1;
    }

    const size_t limit = g_run.maxPathChars;
    const size_t length = api.length(path);
    if (limit < length + 4) {
        WritePathLine(path, "%s", kPathTooLong);
    } else {
        api.append(path, NATIVE(C, "\\*.*"));
        FindData<C> entry;
        HANDLE search = api.FindFirstFile(path, &entry);
        SearchHandle guard(search, api.FindClose);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                path[length] = 0;
                size_t nameLength = api.length(entry.cFileName);
                if (limit < length + nameLength + 1) {
                    // The rest of this directory is not visited.
                    WriteEntryTooLong(path, static_cast<const C*>(entry.cFileName));
                    break;
                }
                path[length] = C('\\');
                std::memcpy(path + length + 1, entry.cFileName, (nameLength + 1) * sizeof(C));
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    if (!IsDotEntry(entry.cFileName)) ScanDirectory(dlg, path);
                } else {
                    ScanFile(dlg, path, entry.dwFileAttributes);
                }
                dlg.PumpOneMessage();
            } while (!g_run.cancelRequested && api.FindNextFile(search, &entry));
        }
    }
    path[length] = 0;
    return g_run.cancelRequested ? 0 : 1;
}

int ScanDrives(TrevaskDlg& dlg) {
    return g_run.isNtFamily ? ScanDrivesAs<wchar_t>(dlg) : ScanDrivesAs<char>(dlg);
}

template int ScanDirectory<char>(TrevaskDlg&, char*);
template int ScanDirectory<wchar_t>(TrevaskDlg&, wchar_t*);
template int ScanFile<char>(TrevaskDlg&, char*, DWORD);
template int ScanFile<wchar_t>(TrevaskDlg&, wchar_t*, DWORD);
template void ShowCurrentFile<char>(TrevaskDlg&, const char*);
template void ShowCurrentFile<wchar_t>(TrevaskDlg&, const wchar_t*);
