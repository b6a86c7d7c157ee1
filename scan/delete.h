// Deletion of threat files and directories, now or at the next restart.
// Native paths: wide with "\\?\" on the NT family, ANSI on 9x.
#pragma once
struct ThreatDirectory;
struct RemovalRun;

enum class DeleteOutcome {
    NotDeleted,       // not deleted, or not there
    Deleted,
    PendingRestart,   // deletion scheduled for the next restart
};

// With logging off nothing is written, counted or flagged.
template <typename C> DeleteOutcome DeleteFileLogged(RemovalRun& run, const C* path, bool logging);
// True when deleted; a file still there is added to run.failedDeletes (no
// restart operation is scheduled here, the second pass does that).
template <typename C> bool DeleteListedFile(RemovalRun& run, const C* path, bool logging);
// Without onCopy the path buffer is used for the listing and must hold
// maxPathChars + 1 characters.
template <typename C> DeleteOutcome DeleteDirectory(RemovalRun& run, C* path, bool onlyIfEmpty, bool onCopy);

// 9x: a "<target>=<source>" line in WININIT.INI, so that the system moves
// `source` onto `target` at the next start (ANSI paths, both existing now).
bool ScheduleReplacement9x(const char* target, const char* source);

void DeleteThreatFiles(RemovalRun& run);
// filterDirectory: a native directory path without "\\?\", or null for no filter.
void DeleteThreatDirectories(RemovalRun& run, const ThreatDirectory* table, const void* filterDirectory);
// nativePath: a detected file (its folder is the filter for the third table).
void DeleteDetectionDirectories(RemovalRun& run, const void* nativePath);
void RetryFailedDeletes(RemovalRun& run);
