// Puts back what a run of fixquorvin changed, from its quarantine folder:
// every original (or those under the paths asked for) through a copy beside
// the file and one rename, with its mode, owner and times.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "run/log_core.h"
#include "scan/quarantine_core.h"

namespace native {

struct RestoreSettings {
    std::string quarantineDir;          // absolute
    std::vector<std::string> paths;     // absolute; empty: every entry
    bool dryRun = false;
    bool force = false;                 // also over a file changed since the run
};

// Test hooks: the write of a restored copy, and a call before every step
// that changes the disk (a test ends the process there).
struct RestoreSeams {
    ssize_t (*write)(int fd, const void* data, size_t size) = nullptr;
    void (*beforeChange)() = nullptr;
};

using quarantine::RestoreOutcome;

class Restorer {
public:
    Restorer(const RestoreSettings& settings, RunLog& log, RestoreSeams seams = {});
    ~Restorer();
    Restorer(const Restorer&) = delete;
    Restorer& operator=(const Restorer&) = delete;

    // Checks the folder (there, a quarantine of fixquorvin) and reads its
    // entries; false with problem set when the restore cannot run.
    bool Open(std::string& problem);
    // Restores the newest entry of every path asked for, one line each, then
    // the summary.
    void Run();
    // One line per entry on out: number, action, size, when and path.
    void List(std::FILE* out) const;

    quarantine::RestoreCounts counts;
    const volatile std::sig_atomic_t* stopFlag = nullptr;
    bool interrupted = false;

    struct Entry;

private:
    RestoreOutcome Restore(const Entry& entry);
    RestoreOutcome PutBack(int dir, const std::string& name, const std::vector<uint8_t>& bytes,
                           const quarantine::Record& record, bool exists, const struct ::stat& seen);
    bool Wanted(const std::string& path) const;
    void Step();

    RestoreSettings m_settings;
    RunLog& m_log;
    RestoreSeams m_seams;
    int m_dir = -1;
    std::vector<Entry> m_entries;
};

// The exit code of a restore: 0 restored all, 2 some refused or failed, 3 could not run.
int RestoreStatus(const Restorer& restorer, bool ran);

}  // namespace native
