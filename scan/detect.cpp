#include "scan/detect.h"

#include <windows.h>

#include <cstdint>

#include "app/TrevaskDlg.h"
#include "app/log.h"
#include "scan/api_table.h"
#include "scan/detect_core.h"
#include "scan/fault_guard.h"
#include "scan/file_handles.h"

namespace {

MappedImageHook g_mappedImageHook = nullptr;

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

void SetMappedImageHook(MappedImageHook hook) { g_mappedImageHook = hook; }

template <typename C>
int OpenAndDetect(TrevaskDlg& dlg, const C* path) {
    if (CheckLongPath(path) != 0) return kVerdictClean;
    const ApiSet<C>& api = Api<C>();
    int verdict = kVerdictClean;
    {
        FileHandle file(api.CreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) {
            if (HasExeSuffix(path, api.length(path))) WritePathLine(path, "%s", kCannotOpenForScanText);
            return kVerdictClean;
        }
        size_t size = 0;
        if (!FileSize(file.Get(), size) || size == 0) return kVerdictClean;
        FileHandle mapping(CreateFileMappingA(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping.Valid()) return kVerdictClean;
        MappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
        if (!view.Get()) return kVerdictClean;
        if (g_mappedImageHook) g_mappedImageHook(view.Get(), size);
        verdict = DetectMapped(view.Get(), size);
    }
    if (verdict != kVerdictClean) dlg.detectedFiles.Add(path);
    return verdict;
}

template int OpenAndDetect<char>(TrevaskDlg&, const char*);
template int OpenAndDetect<wchar_t>(TrevaskDlg&, const wchar_t*);
