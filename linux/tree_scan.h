// The native scanner's file side: walks directory trees, detects every
// regular file with the same detection as the Windows program, repairs
// infected programs layer by layer through a copy in the same folder that
// replaces the original only when complete, and deletes the threat's files.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "run/log_core.h"
#include "run/run_state.h"
#include "run/threat_definition.h"

namespace native {

// What a run of the scanner tells a script (the process exit code).
enum class ExitStatus : int {
    NothingFound = 0,
    AllCleaned = 1,     // something was found and all of it was cleaned
    NotAllCleaned = 2,  // something was found and some of it is still there
    Error = 3,          // usage error, a tree that could not be read in full, an interrupted run
};

// How the scan of one PATH went.
enum class TreeOutcome { Scanned, NotOpened, HeldByAnotherRun, Interrupted };

// Why a find was left as it was; each but Done has its own file line.
enum class FileOutcome {
    Done,
    Corrupt,            // the repair itself failed (the Windows program's text)
    NoQuarantineCopy,
    FolderReadOnly,
    DiskFull,
    Changed,            // the file changed between its detection and its replacement
    HeldByAnotherRun,
    Interrupted,
    Unreadable,
    WriteFailed,
};

struct ScanSettings {
    std::vector<std::string> excludes;   // absolute paths; a tree is skipped with all below it
    std::string quarantineDir;           // empty: no copies kept
    bool dryRun = false;
    bool crossFilesystems = false;
    unsigned jobs = 1;   // detection threads
    // Reads kept in flight for files that are not in memory yet, on reader
    // threads of their own; 0: every read waits in a detection thread.
    unsigned readsInFlight = 64;
    // The readers hand their reads to the kernel together (io_uring) where
    // the build and the kernel allow it, and only with the real disk reads.
    bool readsTogether = true;
};

// Test hooks: the write of a repaired copy (a test makes it fail like a full
// disk); the read of a file for detection (pread; with nowait, as preadv2
// with RWF_NOWAIT, EAGAIN instead of waiting for the disk); whether all of
// a large file is in memory. A file that would wait is read by a reader first.
struct ScanSeams {
    ssize_t (*write)(int fd, const void* data, size_t size) = nullptr;
    ssize_t (*read)(int fd, void* data, size_t size, off_t at, bool nowait) = nullptr;
    bool (*inMemory)(int fd, uint64_t size) = nullptr;
};

// Progress of the walk, shown by whoever runs the scanner (a terminal line).
class ScanProgress {
public:
    virtual ~ScanProgress() = default;
    virtual void Update(uint64_t files, uint64_t bytes, uint32_t infections) = 0;
};

extern const char kQuarantineFailedText[];
extern const char kQuarantineMarkerName[];
// The file line of an outcome other than Done.
const char* OutcomeText(FileOutcome outcome, bool dryRun);

class TreeScanner {
public:
    TreeScanner(const ThreatDefinition& def, const ScanSettings& settings, RunLog& log,
                ScanProgress* progress = nullptr, ScanSeams seams = {});
    ~TreeScanner();

    // Walks one tree (a directory or a single file) through directory
    // descriptors, so that its depth has no limit. Symbolic links are never
    // followed below the root; other file systems are entered only when asked.
    // A tree another run holds (a lock on its root) is not scanned; every
    // directory that cannot be scanned gets a line and is counted.
    TreeOutcome Scan(const std::string& root);
    // False when the root cannot be scanned.
    bool ScanTree(const std::string& root) { return Scan(root) == TreeOutcome::Scanned; }

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

    // Why the quarantine folder cannot be used (empty when it can, or when
    // there is none); the run should not start.
    const std::string& QuarantineProblem() const { return m_quarantineProblem; }

    RemovalStats stats;
    uint32_t ioErrors = 0;        // directories and files that could not be read, an interrupted run
    uint32_t notCleaned = 0;      // finds left in place (failed repair, delete or quarantine)
    uint32_t leftUnchanged = 0;   // of those, the ones left for a reason other than corruption
    uint32_t directoriesNotScanned = 0;
    uint32_t filesUnreadable = 0;   // files the detection could not open or map
    uint64_t bytesScanned = 0;      // of the files that could be read
    int rootError = 0;            // errno of the last root that could not be opened
    // Set (by a signal handler) to stop the run: the copy being written is
    // removed and no further file is changed.
    const volatile std::sig_atomic_t* stopFlag = nullptr;
    bool interrupted = false;

    struct DirNode;

private:
    struct Frame;
    class Detection;
    struct Entry {
        enum class Kind : uint8_t { File, StaleCopy, NotScanned, QuarantineSkipped };
        Kind kind = Kind::File;
        std::shared_ptr<DirNode> dir;   // the folder it is in, open
        std::string name;
        std::string path;
        dev_t dev = 0;
        ino_t ino = 0;
        uint64_t size = 0;
        int verdict = 0;
        bool unreadable = false;
        const char* reason = nullptr;   // NotScanned
    };

    void Walk(std::shared_ptr<DirNode> root, const std::string& path, dev_t rootDev);
    bool Enter(std::vector<Frame>& stack, int fd, const std::string& name);
    bool Reopen(std::vector<Frame>& stack, size_t index);
    void NotScanned(const std::string& path, const char* reason);
    bool Stopped();
    void AddEntry(Entry entry);
    void Dispatch();
    void FinishOldest();
    void Finish();
    void Handle(Entry& entry);
    void HandleStaleCopy(const Entry& entry);
    bool IsExcluded(const std::string& path) const;
    bool IsSkippedName(const std::string& name) const;
    void PrepareQuarantine();
    FileOutcome Quarantine(const std::string& path, const std::vector<uint8_t>& content, const struct stat& st,
                           int source, const char* action, std::string& entryName);
    void DropQuarantine(const std::string& entryName);
    void RecordLeft(const std::string& entryName, const std::string& hash);
    FileOutcome ReplaceFile(int dir, const std::string& name, const std::vector<uint8_t>& content,
                            const struct stat& st, int original);
    bool RemoveFile(int dir, const std::string& name, const std::string& logPath, const struct stat& examined);

    const ThreatDefinition& m_def;
    ScanSettings m_settings;
    RunLog& m_log;
    ScanProgress* m_progress;
    ScanSeams m_seams;
    struct Batch {
        std::vector<Entry> entries;
        size_t folders = 0;
    };
    std::vector<Entry> m_batch;       // being walked
    std::deque<Batch> m_detecting;    // being detected, oldest first, then handled
    size_t m_batchFolders = 0;        // runs of one folder in m_batch: each holds a descriptor
    size_t m_foldersDetecting = 0;    // the same over m_detecting
    std::unique_ptr<Detection> m_detection;   // none: detection on the walk's thread
    std::vector<std::pair<dev_t, ino_t>> m_skipped;   // the log file
    std::vector<std::string> m_skippedNames;          // their names
    std::vector<std::pair<dev_t, ino_t>> m_threatFiles;   // handled by the walk: not again from the list
    std::string m_path;               // of the walk's current entry
    std::string m_quarantineProblem;
    bool m_quarantineReady = false;
    unsigned m_nextEntry = 1;
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
// The same for the file `name` in the open folder dir.
int DetectFileAt(int dir, const char* name, bool& unreadable);

// The verdict of an image in memory, with faults caught as on the mapping.
int DetectImage(const uint8_t* image, size_t size);

}  // namespace native
