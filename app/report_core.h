// Composition of the final report from the counters. Portable.
#pragma once
#include <cstdint>

#include "app/log_core.h"
#include "app/run_state.h"

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
    bool sharesReported = false;       // fixShares or deleteAdminShares
    uint32_t sharesFound = 0;
    uint32_t sharesSecured = 0;
};

extern const char kKnowledgeBaseAddress[];

// Writes the report lines (into the log and its report text) and returns the icon the box gets.
// The caller adds the exclamation icon for a cancelled run in dialog mode.
ReportIcon ComposeReport(const ReportInputs& in, RunLog& log);

// The "something found" sum of the report (differs from the threat-found sum).
bool ReportFindsSomething(const RemovalStats& s);

// The threat-found sum taken after the scan; it decides whether the clean-up
// passes that follow a detection run.
bool ThreatCountsAsFound(const RemovalStats& s, uint32_t failedDeleteEntries);
