// Composition of the final report from the counters. Portable.
#pragma once
#include <cstdint>

#include "run/log_core.h"
#include "run/run_state.h"

enum class ReportIcon { Information, Exclamation, Stop };

struct ReportInputs {
    const RemovalStats* stats = nullptr;
    const char* threatName = "";
    bool cancelRequested = false;
    bool runStopped = false;           // a system function was missing: the run did not finish
    bool systemRestoreWasEnabled = false;
    bool isNt4 = false;
    bool hasServices = false;
    bool scanThreadStarts = false;
    // The native scanner's: of notCleaned, the files left as they were for a
    // reason other than corruption (their lines say why); folders it could
    // not scan; a run stopped by a signal. None sits under a "not found".
    uint32_t filesLeftUnchanged = 0;
    uint32_t directoriesNotScanned = 0;
    bool interrupted = false;
    bool sharesReported = false;       // fixShares or deleteAdminShares
    uint32_t sharesFound = 0;
    uint32_t sharesSecured = 0;
    // Finds left in place that the counters above do not hold, and parts
    // that could not be examined (the native scanner's); any makes the
    // removal unsuccessful.
    uint32_t notCleaned = 0;
    TreeScan treeScan = TreeScan::Scanned;
};

extern const char kKnowledgeBaseAddress[];
extern const char kOnlyDirMissingText[];
extern const char kOnlyDirIsFileText[];

// Writes the report lines (into the log and its report text) and returns the icon the box gets.
// The caller adds the exclamation icon for a cancelled run in dialog mode.
ReportIcon ComposeReport(const ReportInputs& in, RunLog& log);

// The "something found" sum of the report (differs from the threat-found sum).
bool ReportFindsSomething(const RemovalStats& s);

// The threat-found sum taken after the scan; it decides whether the clean-up
// passes that follow a detection run.
bool ThreatCountsAsFound(const RemovalStats& s, uint32_t failedDeleteEntries);
