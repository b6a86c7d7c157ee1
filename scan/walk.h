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

// A directory on the walk's current path, by its file identity; each level
// links to the one above it. A link or junction that leads back to one of
// them is not entered again.
struct WalkedDirectory {
    bool known = false;   // false where the directory cannot be opened (9x)
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    const WalkedDirectory* parent = nullptr;
};

// The walk for one string kind (char: ANSI on 9x, wchar_t: "\\?\" paths on
// the NT family). `path` is the walk's buffer, which must hold
// maxPathChars + 1 characters: the walk builds every path in place.
// A directory path has no trailing backslash. False when cancelled.
template <typename C>
bool ScanDirectory(RemovalRun& run, RunProgress& progress, C* path, const WalkedDirectory* parent = nullptr);
// Scans one file; false when its path is unusable or the run was cancelled.
template <typename C>
bool ScanFile(RemovalRun& run, RunProgress& progress, C* path, DWORD attributes);
