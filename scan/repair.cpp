#include "scan/repair.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "app/TrevaskDlg.h"
#include "app/log.h"
#include "app/run_state.h"
#include "app/threat_definition.h"
#include "scan/api_table.h"
#include "scan/delete.h"
#include "scan/detect_core.h"
#include "scan/fault_guard.h"
#include "scan/file_handles.h"
#include "scan/path_rules_core.h"
#include "scan/repair_core.h"
#include "scan/walk.h"

namespace {

constexpr unsigned kFixNames = 0x10000;   // ".fix0000" to ".fixFFFF"
unsigned g_fixNameLimit = kFixNames;

constexpr size_t kLogPathChars = 260;
constexpr size_t kTempPathChars = 260;

template <typename C>
constexpr bool kWide = std::is_same_v<C, wchar_t>;

template <typename C>
using NativeString = std::basic_string<C>;

template <typename C>
NativeString<C> Native(const char* ascii) {
    NativeString<C> s;
    for (; *ascii; ++ascii) s.push_back(C(*ascii));
    return s;
}

// The ANSI text of a native path as a file message line shows it (no "\\?\").
std::string AnsiLogPath(const char* path) { return std::string(path, strnlen(path, kMaxLogPathBytes)); }
std::string AnsiLogPath(const wchar_t* path) {
    path = pathrules::SkipLongPrefix(path);
    int need = WideCharToMultiByte(CP_ACP, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (need <= 0) return std::string();
    std::vector<char> ansi(need);
    if (WideCharToMultiByte(CP_ACP, 0, path, -1, ansi.data(), need, nullptr, nullptr) <= 0) return std::string();
    return std::string(ansi.data(), strnlen(ansi.data(), kMaxLogPathBytes));
}

// The log path of the outcome lines of deletions: at most 260 characters.
void ShortLogPath(const wchar_t* path, char* out, size_t outBytes) {
    if (!ShortenForLog(pathrules::SkipLongPrefix(path), out, outBytes, kLogPathChars)) out[0] = '\0';
}
void ShortLogPath(const char* path, char* out, size_t outBytes) { std::snprintf(out, outBytes, "%.260s", path); }

// path + ".fix" + four upper-case hex digits.
template <typename C>
NativeString<C> FixName(const C* path, unsigned number) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".fix%04X", number & 0xFFFF);
    return NativeString<C>(path) + Native<C>(suffix);
}

// The first ".fix" name that can be created as a new file; the file is left
// there, empty. False when every name is taken: an existing file of that name
// belongs to someone else and is never overwritten.
template <typename C>
bool CreateFixFile(const C* path, NativeString<C>& fixPath) {
    const ApiSet<C>& api = Api<C>();
    for (unsigned number = 0; number < g_fixNameLimit && number < kFixNames; ++number) {
        NativeString<C> name = FixName(path, number);
        if (CheckLongPath(name.c_str()) != 0) return false;
        FileHandle created(api.CreateFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (created.Valid()) {
            fixPath = std::move(name);
            return true;
        }
    }
    return false;
}

struct RepairCall {
    uint8_t* image;
    size_t size;
    int verdict;
    const char* logPath;
    int64_t result;
};

void RunRepairImage(void* arg) {
    auto* call = static_cast<RepairCall*>(arg);
    call->result = RepairImage(call->image, call->size, call->verdict, call->logPath);
}

// Repairs the copy through a writable mapping and cuts it at the new length.
// The result of RepairImage, or -1 when the copy could not be used.
template <typename C>
int64_t RepairCopy(const C* copyPath, int verdict, const char* logPath) {
    const ApiSet<C>& api = Api<C>();
    FileHandle file(api.CreateFile(copyPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return kRepairFailed;
    size_t size = 0;
    if (!FileSize(file.Get(), size) || size == 0) return kRepairFailed;
    FileHandle mapping(CreateFileMappingA(file.Get(), nullptr, PAGE_READWRITE, 0, 0, nullptr));
    if (!mapping.Valid()) return kRepairFailed;
    MappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!view.Get()) return kRepairFailed;

    RepairCall call{static_cast<uint8_t*>(view.Get()), size, verdict, logPath, kRepairFailed};
    int64_t result = CallCatchingFaults(RunRepairImage, &call) ? call.result : kRepairFailed;
    if (!view.Unmap()) result = kRepairFailed;
    mapping.Close();   // the file cannot be cut while a mapping of it exists
    if (result > 0) {
        LONG high = static_cast<LONG>(static_cast<uint64_t>(result) >> 32);
        DWORD low = SetFilePointer(file.Get(), static_cast<LONG>(result & 0xFFFFFFFF), &high, FILE_BEGIN);
        bool cut = !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) && SetEndOfFile(file.Get());
        // On disk before it replaces the scanned file.
        if (!cut || !FlushFileBuffers(file.Get())) result = kRepairFailed;
    }
    return result;
}

// NT 4 and Windows 2000 do not take "\\?\" paths for work left to the restart.
template <typename C>
const C* RestartPath(const C* path) {
    if constexpr (kWide<C>)
        if (g_run.isNt4 || g_run.isWin2000) return pathrules::SkipLongPrefix(path);
    return path;
}

template <typename C>
int RepairFailed(const C* path) {
    ++g_stats.repairsFailed;
    WritePathLine(path, "%s", kRepairFailedText);
    return -1;
}

}  // namespace

void SetFixNameLimit(unsigned limit) { g_fixNameLimit = limit; }

template <typename C>
int RepairFile(TrevaskDlg& dlg, const C* path, int verdict) {
    const ApiSet<C>& api = Api<C>();
    if (CheckLongPath(path) != 0) return RepairFailed(path);

    NativeString<C> fixPath;
    if (!CreateFixFile(path, fixPath)) return RepairFailed(path);
    const C* copy = fixPath.c_str();

    int64_t result = kRepairFailed;
    if (api.CopyFile(path, copy, FALSE)) {
        const std::string logPath = AnsiLogPath(path);
        result = RepairCopy(copy, verdict, logPath.c_str());
    }

    if (result == kRepairWholeFileThreat) {
        DeleteFileLogged(copy, 0);
        DeleteFileLogged(path, 1);
        return 0;
    }
    if (result > 0) {
        // A result that does not fit the return type cannot be a file we mapped.
        if (api.MoveFileEx &&
            api.MoveFileEx(copy, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            ++g_stats.repairs;
            WritePathLine(path, "%s", kFileRepairedText);
            return static_cast<int>(std::min<int64_t>(result, INT32_MAX));
        }
        if (api.MoveFileEx && api.MoveFileEx(RestartPath(copy), RestartPath(path),
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
            // The copy stands in for the file until the restart: shown,
            // counted and, if still infected, repaired in turn.
            ScanFile(dlg, fixPath.data(), FILE_ATTRIBUTE_NORMAL);
            WritePathLine(path, "%s", kRepairAtRebootText);
            ++g_stats.repairsPendingReboot;
            g_run.rebootNeeded = true;
            return static_cast<int>(kRepairPendingReboot);
        }
        result = kRepairFailed;
    }
    DeleteFileLogged(copy, 0);
    return RepairFailed(path);
}

template <typename C>
int CutOnce(const C* path, const CutRepairEntry& entry) {
    const ApiSet<C>& api = Api<C>();
    if (CheckLongPath(path) != 0 || entry.firstLength == 0) return 0;

    std::vector<uint8_t> content;
    {
        FileHandle file(api.CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) return 0;
        size_t size = 0;
        if (!FileSize(file.Get(), size) || size < entry.firstLength) return 0;
        FileHandle mapping(CreateFileMappingA(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping.Valid()) return 0;
        MappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
        if (!view.Get()) return 0;

        struct Call {
            const uint8_t* data;
            size_t size;
            const CutRepairEntry* entry;
            CutPlan plan;
            std::vector<uint8_t>* out;
        } call{static_cast<const uint8_t*>(view.Get()), size, &entry, {}, &content};
        auto run = [](void* arg) {
            auto* c = static_cast<Call*>(arg);
            c->plan = PlanCut(c->data, c->size, *c->entry);
            if (c->plan.found) *c->out = ApplyCutPlan(c->data, c->size, c->plan, *c->entry);
        };
        if (!CallCatchingFaults(run, &call) || !call.plan.found) return 0;
    }

    // temp.bin in the temporary folder ("\\?\" in front on the NT family).
    C tempDir[kTempPathChars + 1] = {};
    DWORD n = api.GetTempPath(kTempPathChars + 1, tempDir);
    if (n == 0 || n > kTempPathChars) return 2;
    NativeString<C> temp;
    if constexpr (kWide<C>)
        if (!pathrules::HasLongPrefix(tempDir)) temp = L"\\\\?\\";
    temp += tempDir;
    if (temp.empty() || temp.back() != C('\\')) temp.push_back(C('\\'));
    temp += Native<C>("temp.bin");

    {
        FileHandle out(api.CreateFile(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out.Valid()) return 2;
        DWORD written = 0;
        bool complete = content.empty() ||
                        (WriteFile(out.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
                         written == content.size());
        if (!complete || !SetEndOfFile(out.Get()) || !FlushFileBuffers(out.Get())) {
            out.Close();
            DeleteFileLogged(temp.c_str(), 0);
            return 2;
        }
    }

    // The temporary folder may be on another drive: the move may copy.
    bool placed = api.MoveFileEx ? api.MoveFileEx(temp.c_str(), path,
                                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED |
                                                      MOVEFILE_WRITE_THROUGH) != 0
                                 : api.CopyFile(temp.c_str(), path, FALSE) != 0;
    DeleteFileLogged(temp.c_str(), 0);
    return placed ? 1 : 2;
}

template <typename C>
int CutRepairStep(TrevaskDlg& dlg, const C* path) {
    const CutRepairEntry* table = g_def->cutRepairTable;
    if (!table) return 0;
    const size_t length = Api<C>().length(path);
    for (const CutRepairEntry* entry = table; entry->firstLength != 0; ++entry) {
        if (entry->suffix) {
            size_t suffixLength = std::strlen(entry->suffix);
            if (length < suffixLength || !EqualsIgnoreCaseMixed(entry->suffix, path + length - suffixLength))
                continue;
        }
        const CutOutcome outcome = RunCutEntry([&] { return CutOnce(path, *entry); });
        if (outcome == CutOutcome::NothingFound) continue;

        char logPath[2 * kLogPathChars + 2];
        ShortLogPath(path, logPath, sizeof logPath);
        if (outcome == CutOutcome::CantRepair) {
            bool deleted = DeleteListedFile(path, 0, dlg.failedDeletes) == 1;
            if (deleted) ++g_stats.filesDeleted;
            std::snprintf(messageBuffer, kMaxLineChars + 1, "%s%s%s", logPath, kCantRepairText,
                          deleted ? kCutDeletedText : "");
            WriteLogLine();
            return 2;
        }
        std::snprintf(messageBuffer, kMaxLineChars + 1, "%s%s", logPath, kCutRepairedText);
        WriteLogLine();
        ++g_stats.repairs;
        return 1;
    }
    return 0;
}

template int RepairFile<char>(TrevaskDlg&, const char*, int);
template int RepairFile<wchar_t>(TrevaskDlg&, const wchar_t*, int);
template int CutRepairStep<char>(TrevaskDlg&, const char*);
template int CutRepairStep<wchar_t>(TrevaskDlg&, const wchar_t*);
template int CutOnce<char>(const char*, const CutRepairEntry&);
template int CutOnce<wchar_t>(const wchar_t*, const CutRepairEntry&);
