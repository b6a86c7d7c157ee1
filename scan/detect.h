// Infection detection of one file.
#pragma once
#include <cstddef>

class TrevaskDlg;

// Verdict for the file at a native path (wide with "\\?\" on the NT family,
// ANSI on 9x): 0 clean, 1 infected host, 2 threat file, 3 dropper. A
// non-clean file is added to dlg.detectedFiles.
template <typename C>
int OpenAndDetect(TrevaskDlg& dlg, const C* path);

// Tests only: called with the read-only view of every mapped file just
// before detection reads it (null: none).
using MappedImageHook = void (*)(const void* view, size_t size);
void SetMappedImageHook(MappedImageHook hook);
