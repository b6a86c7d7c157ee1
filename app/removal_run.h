// The removal procedure: one whole run, from the log file to the report and
// the restart. The dialog starts it; it calls the subsystems.
#pragma once
#include "run/run_context.h"

enum class RunEnd {
    Finished,         // the run is over and its log closed: the display may close
    AlreadyRunning,   // a run was already in progress; nothing was done
};

RunEnd RunRemoval(RemovalRun& run, RunProgress& progress);

// The final message and the checks after the report.
void EndRun(RemovalRun& run, RunProgress& progress, UINT boxStyle);
// Asks for (or, silently, performs) the restart that pending work needs.
void RestartDecision(RemovalRun& run, RunProgress& progress);
void FinishRun(RemovalRun& run);
// The run's exit code from what it did; notDone: the run could not be done.
void SetExitCode(RemovalRun& run, bool notDone);
