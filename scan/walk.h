// The drive and directory walk: every file of the fixed drives (mapped drives
// with /MAPPED) or of the /ONLYDIR= tree, each scanned once.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

struct RemovalRun;
class RunProgress;

// What the walk hands to its caller for an infected file before repairing it,
// where the definition unregisters infected servers: the file's log text
// (empty for a path too long to log). The procedure passes the COM clean-up's.
using InfectedServerStep = void (*)(RemovalRun& run, const char* logText);

// Walks the drives (or the /ONLYDIR= tree) with the protection paused around
// it; true when the walk ran to its end, false when it was cancelled or a
// directory could not be used.
bool ScanDrives(RemovalRun& run, RunProgress& progress, InfectedServerStep infectedServer = nullptr);

// A directory on the walk's current path, by its file identity; each level
// links to the one above it. A link or junction that leads back to one of
// them is not entered again.
struct WalkedDirectory {
    bool known = false;   // false where the directory cannot be opened (9x)
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    const WalkedDirectory* parent = nullptr;
    // Reached through a link (a reparse point) on the way down: its path
    // need not say where it really is.
    bool throughLink = false;
};

// Where a walk may go, by where folders really are: a /ONLYDIR= walk does not
// follow a link out of its tree, and an excluded tree is skipped whatever
// path leads into it. Paths without "\\?\".
template <typename C>
struct WalkScope {
    bool onlyTree = false;
    std::basic_string<C> root;                         // the tree's real path; empty: unknown
    std::vector<WalkedDirectory> excludedFolders;      // existing excluded folders, by identity
    std::vector<std::basic_string<C>> excludedReal;    // and by real path
    InfectedServerStep infectedServer = nullptr;       // the caller's step for an infected file
};

// The walk for one string kind (char: ANSI on 9x, wchar_t: "\\?\" paths on
// the NT family). `path` is the walk's buffer, which must hold
// maxPathChars + 1 characters: the walk builds every path in place.
// A directory path has no trailing backslash; `isLink` when its entry is a
// reparse point. False when cancelled.
template <typename C>
bool ScanDirectory(RemovalRun& run, RunProgress& progress, C* path, const WalkedDirectory* parent = nullptr,
                   const WalkScope<C>* scope = nullptr, bool isLink = false);
// Scans one file; false when its path is unusable or the run was cancelled.
template <typename C>
bool ScanFile(RemovalRun& run, RunProgress& progress, C* path, DWORD attributes,
              InfectedServerStep infectedServer = nullptr);
