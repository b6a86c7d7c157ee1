#include "scan/detect.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "run/run_context.h"
#include "ps/win32/system_functions.h"
#include "scan/detect_core.h"
#include "platform/fault_guard.h"
#include "scan/file_handles.h"
#include "scan/file_ranges.h"
#include "run/native_path.h"

namespace {

struct DetectCall {
    const uint8_t* image;
    size_t size;
    int verdict;
};

void RunDetection(void* arg) {
    auto* call = static_cast<DetectCall*>(arg);
    call->verdict = DetectInfection(call->image, call->size);
}

// The verdict of a mapped image; a fault while reading it (the file shrank
// under the mapping) makes the file clean.
int DetectMapped(const void* view, size_t size) {
    DetectCall call{static_cast<const uint8_t*>(view), size, kVerdictClean};
    if (!CallCatchingFaults(RunDetection, &call)) return kVerdictClean;
    return call.verdict;
}

// Windows read around a byte the tests lack: the decryptor search runs 2079
// bytes back from the end of the threat's section and 341 forward; the CRC
// covers the first 12 KB.
constexpr uint32_t kWindowBefore = 4096, kWindowAfter = 16384;

// The verdict of the whole image through a read-only mapping; undecided when
// the file cannot be mapped whole.
PartialVerdict DetectThroughMapping(HANDLE file, uint64_t size) {
    PartialVerdict result;
    if (size > kMapWholeLimit) return result;
    win32::UniqueKernelHandle mapping(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return result;
    win32::UniqueView view(dyn_MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) return result;
    result.decided = true;
    result.verdict = DetectMapped(view.get(), static_cast<size_t>(size));
    return result;
}

}  // namespace

template <typename C>
int OpenAndDetect(RemovalRun& run, const C* path) {
    const ApiSet<C>& api = run.api.Get<C>();
    if (CheckLongPath(api, path) != PathCheck::Usable) return kVerdictClean;
    int verdict = kVerdictClean;
    {
        win32::UniqueFile file(api.CreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            if (HasExeSuffix(path, api.length(path))) WritePathLine(run.log, path, "%s", kCannotOpenForScanText);
            return kVerdictClean;
        }
        uint64_t size = 0;
        if (!FileSize64(file.get(), size) || size == 0) return kVerdictClean;
        // Nearly every file is decided by its head: only files whose headers
        // could be the threat's are mapped, and a file that fits in the head
        // is decided from the bytes read.
        uint8_t head[kScanHeadBytes];
        const DWORD want = static_cast<DWORD>(std::min<uint64_t>(size, sizeof head));
        DWORD got = 0;
        if (!ReadFile(file.get(), head, want, &got, nullptr)) got = 0;
        PartialVerdict result;
        if (got == want) result = DetectFromHead(head, got, size);
        if (!result.decided) result = DetectThroughMapping(file.get(), size);
        if (!result.decided) {
            FileRanges ranges(file.get(), size);
            ranges.Add(0, head, got);
            result = ranges.Decide(DetectInRanges, kWindowBefore, kWindowAfter);
        }
        if (!result.decided) {
            // Not examined: say so rather than count the file as clean.
            WritePathLine(run.log, path, "%s", kCannotReadForScanText);
            return kVerdictClean;
        }
        verdict = result.verdict;
    }
    if (verdict != kVerdictClean) run.detectedFiles.Add(path);
    return verdict;
}

template int OpenAndDetect<char>(RemovalRun&, const char*);
template int OpenAndDetect<wchar_t>(RemovalRun&, const wchar_t*);
