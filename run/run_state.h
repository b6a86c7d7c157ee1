// Run-wide counters and flags. Portable.
#pragma once
#include <cstdint>

struct RemovalStats {
    uint32_t filesScanned = 0;
    uint32_t filesDeleted = 0;
    uint32_t infections = 0;
    uint32_t repairs = 0;
    uint32_t repairsFailed = 0;
    uint32_t repairsPendingReboot = 0;
    uint32_t deleteFailed = 0;
    uint32_t deletesPendingReboot = 0;
    uint32_t directoriesDeleted = 0;
    uint32_t directoriesNotDeleted = 0;
    uint32_t directoriesPendingReboot = 0;
    uint32_t processesTerminated = 0;
    uint32_t threadsTerminated = 0;
    uint32_t registryEntriesFixed = 0;
    uint32_t servicesStopped = 0;
    uint32_t servicesRemoved = 0;
    uint32_t groupMembersRemoved = 0;
    uint32_t accountsDisabled = 0;
    // What was found but could not be undone: threat processes and threads
    // that could not be ended (left suspended or out of reach), and listed
    // registry entries behind a key that would not open.
    uint32_t processesNotTerminated = 0;
    uint32_t threadsNotTerminated = 0;
    uint32_t registryEntriesNotFixed = 0;
};

// What became of the tree /ONLYDIR= names. A tree that was not scanned is no
// clean result: the report says so, and a caller that maps the run to an
// exit code reads it here as work that could not be done.
enum class TreeScan {
    Scanned,        // the drives or the /ONLYDIR= tree were walked
    FolderMissing,  // /ONLYDIR= names nothing that exists
    NamesAFile,     // /ONLYDIR= names a file, not a folder
};

struct RunFlags {
    bool cancelRequested = false;
    // A system function the run needs could not be bound: the run stopped
    // the step it was in.
    bool runStopped = false;
    bool threatFound = false;
    bool rebootNeeded = false;
    TreeScan treeScan = TreeScan::Scanned;
    // Platform (set by IdentifyPlatform, only ever switched on).
    bool isNtFamily = false;
    bool isWin9xFamily = false;
    bool isNt4 = false;
    bool isWin2000 = false;
    bool isWinMe = false;
    uint32_t maxPathChars = 260;
};

constexpr uint32_t kMaxPathCharsNt = 32767;
constexpr uint32_t kMaxPathChars9x = 260;
