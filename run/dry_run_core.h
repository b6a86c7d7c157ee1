// What a dry run writes: the "(dry run)" forms of the file and registry
// lines and a report of what a real run would do. Portable, so that every
// front end that offers a dry run speaks with the same texts.
#pragma once
#include <cstdint>
#include <string>

#include "run/log_core.h"
#include "run/run_state.h"

// File lines, after the "infected with" line.
extern const char kWouldRepairText[];   // "(dry run) would be repaired"
extern const char kWouldDeleteText[];   // "(dry run) would be deleted"
extern const char kWouldFailText[];     // "(dry run) repair would fail, the file is corrupted"
// The log's last line.
extern const char kDryRunClosingText[];   // "Dry run: nothing was changed."

// Why a registry fix line describes a change that was not made.
enum class UnmadeChange {
    DryRun,          // "... Runonce (dry run) would be deleted"
    HiveNotWritten,  // "... Runonce (WARNING: not deleted, the hive could not be written)"
};

// A registry fix line (as the fix lists compose it once the change is made)
// rewritten to say that the change was not made. Lines that report no
// change (a fix that failed) are returned as they are.
std::string UnmadeRegistryLine(const std::string& line, UnmadeChange why);

struct DryRunReportInputs {
    const RemovalStats* stats = nullptr;   // what the dry run counted: what a real run would do
    const char* threatName = "";
    uint32_t notCleaned = 0;   // finds a real run would leave in place
    bool incomplete = false;   // something could not be examined
};

// The headline alone; false when it says that nothing was found (the
// report then has nothing more to say).
bool ComposeDryRunHeadline(const DryRunReportInputs& in, RunLog& log);

// The report of a dry run: headline and counters in the "would" form, never
// a past-tense success. The caller adds kDryRunClosingText at the end.
void ComposeDryRunReport(const DryRunReportInputs& in, RunLog& log);
