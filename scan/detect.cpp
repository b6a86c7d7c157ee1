#include "scan/detect.h"

#include <windows.h>

#include <cstdint>

#include "app/run_context.h"
#include "scan/detect_core.h"
#include "scan/fault_guard.h"
#include "scan/file_handles.h"
#include "scan/native_path.h"

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
        size_t size = 0;
        if (!FileSize(file.get(), size) || size == 0) return kVerdictClean;
        win32::UniqueKernelHandle mapping(CreateFileMappingA(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping) return kVerdictClean;
        win32::UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
        if (!view) return kVerdictClean;
        if (run.seams.mappedImageHook) run.seams.mappedImageHook(view.get(), size);
        verdict = DetectMapped(view.get(), size);
    }
    if (verdict != kVerdictClean) run.detectedFiles.Add(path);
    return verdict;
}

template int OpenAndDetect<char>(RemovalRun&, const char*);
template int OpenAndDetect<wchar_t>(RemovalRun&, const wchar_t*);
