#include "scan/repair.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "run/dry_run_core.h"
#include "run/run_context.h"
#include "scan/delete.h"
#include "scan/detect_core.h"
#include "platform/fault_guard.h"
#include "scan/file_handles.h"
#include "scan/file_ranges.h"
#include "run/native_path.h"

namespace {

constexpr unsigned kFixNames = 0x10000;   // ".fix0000" to ".fixFFFF"
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
bool CreateFixFile(const RemovalRun& run, const C* path, NativeString<C>& fixPath) {
    const ApiSet<C>& api = run.api.Get<C>();
    for (unsigned number = 0; number < run.limits.fixNameLimit && number < kFixNames; ++number) {
        NativeString<C> name = FixName(path, number);
        if (CheckLongPath(api, name.c_str()) != PathCheck::Usable) return false;
        win32::UniqueFile created(api.CreateFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (created) {
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
    RunLog* log;
    const char* logPath;
    int64_t result;
};

void RunRepairImage(void* arg) {
    auto* call = static_cast<RepairCall*>(arg);
    call->result = RepairImage(call->image, call->size, call->verdict, *call->log, call->logPath);
}

// The verdict on a dry run's repaired image (the next layer, if any).
struct DetectCall {
    const uint8_t* image;
    size_t size;
    int verdict;
};

void RunDetectionCall(void* arg) {
    auto* call = static_cast<DetectCall*>(arg);
    call->verdict = DetectInfection(call->image, call->size);
}

// As many layers as the walk repairs in a real run.
constexpr int kMaxDryRunLayers = 1000;

// Copies up to kMapWholeLimit are repaired through a writable mapping of the
// whole copy; larger ones (and copies whose mapping fails) through reads and
// writes of the few ranges the repair touches.

// Windows read around a byte the repair lacks: the threat's section (under
// 48 KB) and the few hundred bytes the replay reads past its end.
constexpr uint32_t kWindowBefore = 4096, kWindowAfter = 0x10000;

// RepairImage on a writable mapping of the whole copy; false when the copy
// cannot be mapped whole.
bool RepairMapped(RemovalRun& run, HANDLE file, uint64_t size, int verdict, const char* logPath, int64_t& result) {
    if (size > kMapWholeLimit) return false;
    win32::UniqueKernelHandle mapping(CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr));
    if (!mapping) return false;
    win32::UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!view) return false;
    RepairCall call{static_cast<uint8_t*>(view.get()), static_cast<size_t>(size), verdict, &run.log, logPath,
                    kRepairFailed};
    result = CallCatchingFaults(RunRepairImage, &call) ? call.result : kRepairFailed;
    if (!view.reset()) result = kRepairFailed;
    return true;
}

// The same repair planned from ranges read from the copy, its header fields
// written in place.
int64_t RepairThroughReads(RemovalRun& run, HANDLE file, uint64_t size, int verdict, const char* logPath) {
    FileRanges ranges(file, size);
    const RepairPlan plan = ranges.Decide([verdict](const ImageRanges& r) { return PlanRepair(r, verdict); },
                                          kWindowBefore, kWindowAfter);
    if (plan.attempted) run.log.PathLine(logPath, "%s", kRepairAttemptText);
    if (!plan.decided || plan.result <= 0) return plan.decided ? plan.result : kRepairFailed;
    for (size_t i = 0; i < plan.fieldCount; ++i) {
        uint8_t bytes[4];
        const DWORD count = plan.FieldBytes(i, bytes);
        if (count == 0) continue;
        LONG high = static_cast<LONG>(plan.fields[i].offset >> 32);
        DWORD written = 0;
        DWORD low = SetFilePointer(file, static_cast<LONG>(plan.fields[i].offset & 0xFFFFFFFF), &high, FILE_BEGIN);
        if ((low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) ||
            !WriteFile(file, bytes, count, &written, nullptr) || written != count)
            return kRepairFailed;
    }
    return plan.result;
}

// Repairs the copy and cuts it at the new length. The result of RepairImage,
// or -1 when the copy could not be used.
template <typename C>
int64_t RepairCopy(RemovalRun& run, const C* copyPath, int verdict, const char* logPath) {
    const ApiSet<C>& api = run.api.Get<C>();
    win32::UniqueFile file(api.CreateFile(copyPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return kRepairFailed;
    uint64_t size = 0;
    if (!FileSize64(file.get(), size) || size == 0) return kRepairFailed;
    int64_t result = kRepairFailed;
    if (!RepairMapped(run, file.get(), size, verdict, logPath, result))
        result = RepairThroughReads(run, file.get(), size, verdict, logPath);
    if (result > 0) {
        // The file cannot be cut while a mapping of it exists: RepairMapped has closed its own.
        LONG high = static_cast<LONG>(static_cast<uint64_t>(result) >> 32);
        DWORD low = SetFilePointer(file.get(), static_cast<LONG>(result & 0xFFFFFFFF), &high, FILE_BEGIN);
        bool cut = !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) && SetEndOfFile(file.get());
        // On disk before it replaces the scanned file.
        if (!cut || !FlushFileBuffers(file.get())) result = kRepairFailed;
    }
    return result;
}

// NT 4 and Windows 2000 do not take "\\?\" paths for work left to the restart.
template <typename C>
const C* RestartPath(const RemovalRun& run, const C* path) {
    if constexpr (kWide<C>)
        if (run.flags.isNt4 || run.flags.isWin2000) return pathrules::SkipLongPrefix(path);
    return path;
}

enum class Swap9x { Replaced, InUse, Failed };

// 9x has no move that replaces a file: the original goes aside to a free
// ".fix" name, the copy into its place, and the original's aside name is
// deleted. An original that cannot be moved (in use) is left to the restart;
// a copy that cannot be moved in puts the original back.
Swap9x SwapInCopy9x(RemovalRun& run, const char* path, const char* copy) {
    const ApiSet<char>& api = run.api.ansi;
    std::string aside;
    if (!api.MoveFile || !CreateFixFile(run, path, aside)) return Swap9x::Failed;
    api.DeleteFile(aside.c_str());   // only the free name was wanted
    if (!api.MoveFile(path, aside.c_str())) return Swap9x::InUse;
    if (!api.MoveFile(copy, path)) {
        // Should the name not come back, its content does (the aside stays).
        if (!api.MoveFile(aside.c_str(), path)) api.CopyFile(aside.c_str(), path, TRUE);
        return Swap9x::Failed;
    }
    DeleteFileLogged(run, aside.c_str(), false);
    return Swap9x::Replaced;
}

template <typename C>
RepairResult<C> Repaired(RemovalRun& run, const C* path, int64_t length) {
    ++run.stats.repairs;
    WritePathLine(run.log, path, "%s", kFileRepairedText);
    return {RepairOutcome::Repaired, length, {}};
}

template <typename C>
RepairResult<C> RepairFailed(RemovalRun& run, const C* path) {
    ++run.stats.repairsFailed;
    WritePathLine(run.log, path, "%s", kRepairFailedText);
    return {};
}

}  // namespace

template <typename C>
RepairResult<C> RepairFile(RemovalRun& run, const C* path, int verdict) {
    const ApiSet<C>& api = run.api.Get<C>();
    if (CheckLongPath(api, path) != PathCheck::Usable) return RepairFailed(run, path);

    NativeString<C> fixPath;
    if (!CreateFixFile(run, path, fixPath)) return RepairFailed(run, path);
    const C* copy = fixPath.c_str();

    int64_t result = kRepairFailed;
    if (api.CopyFile(path, copy, FALSE)) result = RepairCopy(run, copy, verdict, PathLineText(path).c_str());

    if (result == kRepairWholeFileThreat) {
        DeleteFileLogged(run, copy, false);
        DeleteFileLogged(run, path, true);
        return {RepairOutcome::HandedToDeletion, 0, {}};
    }
    if (result > 0) {
        if (api.MoveFileEx &&
            api.MoveFileEx(copy, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return Repaired(run, path, result);
        if (api.MoveFileEx && api.MoveFileEx(RestartPath(run, copy), RestartPath(run, path),
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
            return {RepairOutcome::PendingRestart, result, std::move(fixPath)};
        if constexpr (!kWide<C>) {
            if (!api.MoveFileEx) {
                Swap9x swap = SwapInCopy9x(run, path, copy);
                if (swap == Swap9x::Replaced) return Repaired(run, path, result);
                // In use: WININIT.INI moves the copy onto the file at the next start.
                if (swap == Swap9x::InUse && ScheduleReplacement9x(path, copy))
                    return {RepairOutcome::PendingRestart, result, std::move(fixPath)};
            }
        }
    }
    DeleteFileLogged(run, copy, false);
    return RepairFailed(run, path);
}

template <typename C>
void DryRunDetected(RemovalRun& run, const C* path, int verdict, const std::function<void(int)>& announce) {
    const ApiSet<C>& api = run.api.Get<C>();
    // Others may go on writing the file: a dry run holds nobody up.
    win32::UniqueFile file(api.CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    uint64_t size = 0;
    if (!file || !FileSize64(file.get(), size)) size = 0;
    win32::UniqueKernelHandle mapping;
    win32::UniqueView view;
    if (size != 0 && size <= kMapWholeLimit) {
        // Pages written are the process's own: the repair never reaches the file.
        mapping.reset(CreateFileMappingA(file.get(), nullptr, PAGE_WRITECOPY, 0, 0, nullptr));
        if (mapping) view.reset(MapViewOfFile(mapping.get(), FILE_MAP_COPY, 0, 0, 0));
    }
    size_t length = static_cast<size_t>(size);
    RunLog quiet;   // the dry run's repair says nothing
    for (int layer = 0; layer < kMaxDryRunLayers && verdict != kVerdictClean; ++layer) {
        announce(verdict);
        int64_t result = kRepairFailed;
        if (view) {
            RepairCall call{static_cast<uint8_t*>(view.get()), length, verdict, &quiet, "", kRepairFailed};
            if (CallCatchingFaults(RunRepairImage, &call)) result = call.result;
        } else if (verdict != kVerdictInfectedHost) {
            result = kRepairWholeFileThreat;
        } else if (size != 0) {
            // Too large to map: the plan of the repair, read through the file.
            FileRanges ranges(file.get(), size);
            const RepairPlan plan = ranges.Decide([verdict](const ImageRanges& r) { return PlanRepair(r, verdict); },
                                                  kWindowBefore, kWindowAfter);
            if (plan.decided) result = plan.result;
        }
        if (result == kRepairWholeFileThreat) {
            ++run.stats.filesDeleted;
            WritePathLine(run.log, path, "%s", kWouldDeleteText);
            run.wouldDelete.Add(path);
            return;
        }
        if (result < 0 || static_cast<uint64_t>(result) > length) {
            ++run.stats.repairsFailed;
            WritePathLine(run.log, path, "%s", kWouldFailText);
            return;
        }
        ++run.stats.repairs;
        WritePathLine(run.log, path, "%s", kWouldRepairText);
        // Without a view the layers below show once a real run has repaired this one.
        if (!view) return;
        length = static_cast<size_t>(result);
        DetectCall again{static_cast<const uint8_t*>(view.get()), length, kVerdictClean};
        verdict = CallCatchingFaults(RunDetectionCall, &again) ? again.verdict : kVerdictClean;
    }
}

template <typename C>
void FinishRepairAtRestart(RemovalRun& run, const C* path) {
    WritePathLine(run.log, path, "%s", kRepairAtRebootText);
    ++run.stats.repairsPendingReboot;
    run.flags.rebootNeeded = true;
}

template <typename C>
CutResult CutOnce(RemovalRun& run, const C* path, const CutRepairEntry& entry) {
    const ApiSet<C>& api = run.api.Get<C>();
    if (CheckLongPath(api, path) != PathCheck::Usable || entry.firstLength == 0) return CutResult::NothingFound;

    std::vector<uint8_t> content;
    {
        win32::UniqueFile file(api.CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return CutResult::NothingFound;
        size_t size = 0;
        if (!FileSize(file.get(), size) || size < entry.firstLength) return CutResult::NothingFound;
        win32::UniqueKernelHandle mapping(CreateFileMappingA(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping) return CutResult::NothingFound;
        win32::UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
        if (!view) return CutResult::NothingFound;

        struct Call {
            const uint8_t* data;
            size_t size;
            const CutRepairEntry* entry;
            CutPlan plan;
            std::vector<uint8_t>* out;
        } call{static_cast<const uint8_t*>(view.get()), size, &entry, {}, &content};
        auto cut = [](void* arg) {
            auto* c = static_cast<Call*>(arg);
            c->plan = PlanCut(c->data, c->size, *c->entry);
            if (c->plan.found) *c->out = ApplyCutPlan(c->data, c->size, c->plan, *c->entry);
        };
        if (!CallCatchingFaults(cut, &call) || !call.plan.found) return CutResult::NothingFound;
    }

    // temp.bin in the temporary folder ("\\?\" in front on the NT family).
    C tempDir[kTempPathChars + 1] = {};
    DWORD n = api.GetTempPath(kTempPathChars + 1, tempDir);
    if (n == 0 || n > kTempPathChars) return CutResult::NotWritten;
    NativeString<C> temp;
    if constexpr (kWide<C>)
        if (!pathrules::HasLongPrefix(tempDir)) temp = kLongPrefix;
    temp += tempDir;
    if (temp.empty() || temp.back() != C('\\')) temp.push_back(C('\\'));
    temp += Native<C>("temp.bin");

    {
        win32::UniqueFile out(api.CreateFile(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) return CutResult::NotWritten;
        DWORD written = 0;
        bool complete = content.empty() ||
                        (WriteFile(out.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
                         written == content.size());
        if (!complete || !SetEndOfFile(out.get()) || !FlushFileBuffers(out.get())) {
            out.reset();
            DeleteFileLogged(run, temp.c_str(), false);
            return CutResult::NotWritten;
        }
    }

    // The temporary folder may be on another drive: the move may copy.
    bool placed = api.MoveFileEx ? api.MoveFileEx(temp.c_str(), path,
                                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED |
                                                      MOVEFILE_WRITE_THROUGH) != 0
                                 : api.CopyFile(temp.c_str(), path, FALSE) != 0;
    DeleteFileLogged(run, temp.c_str(), false);
    return placed ? CutResult::Cut : CutResult::NotWritten;
}

template <typename C>
CutOutcome CutRepairStep(RemovalRun& run, const C* path) {
    const CutRepairEntry* table = run.def->cutRepairTable;
    if (!table) return CutOutcome::NothingFound;
    const size_t length = run.api.Get<C>().length(path);
    for (const CutRepairEntry* entry = table; entry->firstLength != 0; ++entry) {
        if (entry->suffix) {
            size_t suffixLength = std::strlen(entry->suffix);
            if (length < suffixLength || !EqualsIgnoreCaseMixed(entry->suffix, path + length - suffixLength))
                continue;
        }
        const CutOutcome outcome = RunCutEntry([&] { return CutOnce(run, path, *entry); });
        if (outcome == CutOutcome::NothingFound) continue;

        const std::string logPath = ShortLogPath(path);
        if (outcome == CutOutcome::CantRepair) {
            bool deleted = DeleteListedFile(run, path, false);
            if (deleted) ++run.stats.filesDeleted;
            run.log.Format("%s%s%s", logPath.c_str(), kCantRepairText, deleted ? kCutDeletedText : "");
            return outcome;
        }
        run.log.Format("%s%s", logPath.c_str(), kCutRepairedText);
        ++run.stats.repairs;
        return outcome;
    }
    return CutOutcome::NothingFound;
}

template RepairResult<char> RepairFile<char>(RemovalRun&, const char*, int);
template RepairResult<wchar_t> RepairFile<wchar_t>(RemovalRun&, const wchar_t*, int);
template void DryRunDetected<char>(RemovalRun&, const char*, int, const std::function<void(int)>&);
template void DryRunDetected<wchar_t>(RemovalRun&, const wchar_t*, int, const std::function<void(int)>&);
template void FinishRepairAtRestart<char>(RemovalRun&, const char*);
template void FinishRepairAtRestart<wchar_t>(RemovalRun&, const wchar_t*);
template CutOutcome CutRepairStep<char>(RemovalRun&, const char*);
template CutOutcome CutRepairStep<wchar_t>(RemovalRun&, const wchar_t*);
template CutResult CutOnce<char>(RemovalRun&, const char*, const CutRepairEntry&);
template CutResult CutOnce<wchar_t>(RemovalRun&, const wchar_t*, const CutRepairEntry&);
