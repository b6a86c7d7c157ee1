// Infection detection of one file.
#pragma once
struct RemovalRun;

// Verdict for the file at a native path (wide with "\\?\" on the NT family,
// ANSI on 9x): 0 clean, 1 infected host, 2 threat file, 3 dropper. A
// non-clean file is added to run.detectedFiles.
template <typename C>
int OpenAndDetect(RemovalRun& run, const C* path);
