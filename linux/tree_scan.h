// The native scanner's file side: walks directory trees, detects every
// regular file with the same detection as the Windows program, repairs
// infected programs layer by layer through a copy in the same folder that
// replaces the original only when complete, and deletes the threat's files.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "app/dry_run_core.h"
#include "app/log_core.h"
#include "app/run_state.h"
#include "app/threat_definition.h"

namespace native {

// What a run of the scanner tells a script (the process exit code).
enum class ExitStatus : int {
    NothingFound = 0,
    AllCleaned = 1,     // something was found and all of it was cleaned
    NotAllCleaned = 2,  // something was found and some of it is still there
    Error = 3,          // usage error, or a tree that could not be read in full
};

struct ScanSettings {
    std::vector<std::string> excludes;   // absolute paths; a tree is skipped with all below it
    std::string quarantineDir;           // empty: no copies kept
    bool dryRun = false;
    bool crossFilesystems = false;
    unsigned jobs = 1;
};

// Test hooks: the write of a repaired copy (a test makes it fail like a full disk).
struct ScanSeams {
    ssize_t (*write)(int fd, const void* data, size_t size) = nullptr;
};

// Progress of the walk, shown by whoever runs the scanner (a terminal line).
class ScanProgress {
public:
    virtual ~ScanProgress() = default;
    virtual void Update(uint64_t files, uint64_t bytes, uint32_t infections) = 0;
};

// The dry-run lines (kWouldRepairText, ...) are in app/dry_run_core.h.
extern const char kQuarantineFailedText[];

class TreeScanner {
public:
    TreeScanner(const ThreatDefinition& def, const ScanSettings& settings, RunLog& log,
                ScanProgress* progress = nullptr, ScanSeams seams = {});

    // Walks one tree (a directory or a single file). Symbolic links are never
    // followed below the root; other file systems are entered only when asked.
    // False when the root cannot be opened.
    bool ScanTree(const std::string& root);

    // Deletes one file of the threat's file list (no detection): ": (deleted)"
    // or ": (WARNING: delete failed)"; nothing for a file that is not there.
    void DeleteListedFile(const std::string& path);

    // Replaces a whole file (a hive) with new content as a repair does:
    // quarantine copy first, owner, mode and times kept, atomic rename.
    bool ReplaceContent(const std::string& path, const std::vector<uint8_t>& content);
    bool DryRun() const { return m_settings.dryRun; }

    // Leaves the file or tree at path out of every walk (the log file, the
    // quarantine folder). Nothing when it does not exist.
    void SkipPath(const std::string& path);

    RemovalStats stats;
    uint32_t ioErrors = 0;        // directories and files that could not be read
    uint32_t notCleaned = 0;      // finds left in place (failed repair, delete or quarantine)
    uint64_t bytesScanned = 0;

private:
    struct Entry {
        std::string path;
        dev_t dev;
        ino_t ino;
        uint64_t size;
        int verdict = 0;
        bool unreadable = false;
    };

    void WalkDirectory(const std::string& path, dev_t dev, ino_t ino, dev_t rootDev,
                       std::vector<std::pair<dev_t, ino_t>>& ancestors);
    void AddFile(Entry entry);
    void Dispatch();
    void Finish();
    void Handle(Entry& entry);
    bool IsExcluded(const std::string& path) const;
    bool Quarantine(const std::string& path, const std::vector<uint8_t>& content, const struct stat& st);
    bool ReplaceFile(const std::string& path, const std::vector<uint8_t>& content, const struct stat& st);
    bool RemoveFile(const std::string& path, const std::string& logPath, const struct stat& examined);

    const ThreatDefinition& m_def;
    ScanSettings m_settings;
    RunLog& m_log;
    ScanProgress* m_progress;
    ScanSeams m_seams;
    std::vector<Entry> m_batch;       // being walked
    std::vector<Entry> m_detecting;   // being detected, then handled
    std::future<void> m_pending;
    std::vector<std::pair<dev_t, ino_t>> m_skipped;   // the quarantine folder, the log file
    std::vector<std::pair<dev_t, ino_t>> m_threatFiles;   // handled by the walk: not again from the list
};

// A path as the log shows it: control characters, which a Linux name may
// hold, become '?' so that a name cannot forge or break log lines.
std::string LogText(const std::string& path);

// The code a run ends with, from its counters.
ExitStatus StatusOf(const RemovalStats& stats, uint32_t notCleaned, uint32_t ioErrors);

// The verdict of the file at path as the Windows program's detection gives it
// (mapped read-only; a file that shrinks under the mapping counts as clean).
// unreadable: it could not be opened or mapped.
int DetectFile(const std::string& path, bool& unreadable);

// The verdict of an image in memory, with faults caught as on the mapping.
int DetectImage(const uint8_t* image, size_t size);

}  // namespace native
