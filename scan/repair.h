// Repair of infected files and the signature cut.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "scan/repair_core.h"

struct RemovalRun;

enum class RepairOutcome {
    Repaired,          // replaced in place: detection runs again
    HandedToDeletion,  // a whole-file threat: the file went to the deletion
    Failed,            // the file is as it was
    PendingRestart,    // the repaired copy replaces the file at the next restart
};

template <typename C>
struct RepairResult {
    RepairOutcome outcome = RepairOutcome::Failed;
    int64_t newLength = 0;       // Repaired: the length of the repaired file
    std::basic_string<C> copy;   // PendingRestart: the copy that stands in for the file until then
};

// Repairs (verdict 1) or deletes (verdicts 2, 3) the file at a native path.
// A copy left for the restart is handed back: the caller scans it (it may be
// infected again), then calls FinishRepairAtRestart.
template <typename C>
RepairResult<C> RepairFile(RemovalRun& run, const C* path, int verdict);
// A dry run's handling of a detected file (verdict from detection): each
// layer is announced (the caller's "infected with" line), then repaired in a
// private copy-on-write view of the file or marked for deletion, with the
// "(dry run)" line and the count a real run would give. The file is only read.
template <typename C>
void DryRunDetected(RemovalRun& run, const C* path, int verdict, const std::function<void(int)>& announce);

// The line, the counter and the restart of a repair left to the restart.
template <typename C>
void FinishRepairAtRestart(RemovalRun& run, const C* path);

// The signature cut that runs before detection: NothingFound (detection
// follows), Repaired, or CantRepair.
template <typename C>
CutOutcome CutRepairStep(RemovalRun& run, const C* path);

// One cut of one table entry.
template <typename C>
CutResult CutOnce(RemovalRun& run, const C* path, const CutRepairEntry& entry);
