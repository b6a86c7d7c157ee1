// The state of one removal run, and what the run asks of whoever shows it.
// scan/, procs/ and fix/ take the run (and the progress where they show
// progress); nothing here knows the dialog.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "run/exit_code_core.h"
#include "run/log_core.h"
#include "run/options_core.h"
#include "run/run_state.h"
#include "run/threat_definition.h"
#include "run/api_table.h"
#include "run/wstrlist.h"

// The display of a run: the dialog in an interactive run; silent runs and
// tests use this class as it is (it shows nothing and answers no box).
class RunProgress {
public:
    virtual ~RunProgress() = default;
    // The phase text of the status line; 0 when nothing is shown (silent mode), else 1.
    virtual int SetStatusText(const char*) { return 0; }
    // The file being scanned: ANSI, without "\\?\".
    virtual void ShowCurrentFile(const char*) {}
    // Handles one waiting window message, if any (the walk calls this per entry).
    virtual void PumpOneMessage() {}
    // True once the person has confirmed that the scan is to stop.
    virtual bool CancelRequested() { return false; }
    // A message box of the run; its answer (IDOK, IDYES, ...), 0 when none is shown.
    virtual int ShowBox(const char*, const char*, UINT) { return 0; }
};

// How long the COM registration tool is given.
constexpr DWORD kUnregisterWaitMs = 5000;

// Limits of the run's work, plain settings with the program's values.
struct RunLimits {
    // How many ".fix" names a repair tries (at most, and by default, 0x10000).
    unsigned fixNameLimit = 0x10000;
    // How long the COM registration tool may take, in milliseconds.
    DWORD unregisterWaitMs = kUnregisterWaitMs;
};

// The done flags of the image termination records: a record is done once a
// process matching its name was ended, and later calls skip it. They belong
// to the run, so the definition (the compiled-in one is shared) stays read-only.
class ImageTerminationFlags {
public:
    bool done(const ImageTerminationRecord& record) const {
        return std::find(m_done.begin(), m_done.end(), &record) != m_done.end();
    }
    void SetDone(const ImageTerminationRecord& record) {
        if (!done(record)) m_done.push_back(&record);
    }

private:
    std::vector<const ImageTerminationRecord*> m_done;
};

inline constexpr char kScanCancelledText[] = "\r\nThe scanning procedure was cancelled.\r\n";

struct RemovalRun {
    explicit RemovalRun(const ThreatDefinition& definition = BuiltInDefinition())
        : def(&definition), options(DefaultRunOptions(definition)) {}
    RemovalRun(const RemovalRun&) = delete;
    RemovalRun& operator=(const RemovalRun&) = delete;

    // The definition in use: the compiled-in one, or a test's.
    const ThreatDefinition* def;
    RunOptions options;
    RunFlags flags;
    RemovalStats stats;
    // Native paths (wide with "\\?\" on the NT family, ANSI on 9x).
    WStrList detectedFiles;
    WStrList failedDeletes;
    uint32_t sharesFound = 0;
    uint32_t sharesSecured = 0;
    bool systemRestoreWasEnabled = false;
    bool runInProgress = false;
    // The file and registry-value functions of this platform.
    ApiTable api;
    RunLog log;
    RunLimits limits;
    // What the run comes to for a script (the process exit code with /EXITCODE).
    ExitCode exitCode = ExitCode::NothingFound;
    // In a dry run: the files the walk would delete, so that the list of the
    // threat's files does not count them a second time.
    WStrList wouldDelete;
    // The /QUARANTINE= folder as the run found it at its first use, and the
    // next entry number to try.
    enum class QuarantineFolder { NotLookedAt, Usable, Refused };
    struct {
        QuarantineFolder status = QuarantineFolder::NotLookedAt;
        unsigned next = 1;
    } quarantine;
    ImageTerminationFlags imageTermination;

    // Takes the person's cancel from the display: the log line once, then the
    // flag that ends the walk. True when the run is cancelled.
    bool TakeCancel(RunProgress& progress) {
        if (!flags.cancelRequested && progress.CancelRequested()) {
            log.Line(kScanCancelledText);
            flags.cancelRequested = true;
        }
        return flags.cancelRequested;
    }
};
