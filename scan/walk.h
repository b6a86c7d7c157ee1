// The drive and directory walk: every file of the fixed drives (mapped drives
// with /MAPPED) or of the /ONLYDIR= tree, each scanned once.
#pragma once
#include <windows.h>

struct RemovalRun;
class RunProgress;

// Walks the drives (or the /ONLYDIR= tree) with the protection paused around
// it; true when the walk ran to its end, false when it was cancelled or a
// directory could not be used.
bool ScanDrives(RemovalRun& run, RunProgress& progress);

// The walk for one string kind (char: ANSI on 9x, wchar_t: "\\?\" paths on
// the NT family). `path` is the walk's buffer, which must hold
// maxPathChars + 1 characters: the walk builds every path in place.
// A directory path has no trailing backslash. False when cancelled.
template <typename C>
bool ScanDirectory(RemovalRun& run, RunProgress& progress, C* path);
// Scans one file; false when its path is unusable or the run was cancelled.
template <typename C>
bool ScanFile(RemovalRun& run, RunProgress& progress, C* path, DWORD attributes);
