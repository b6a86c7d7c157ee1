// The exit code a script reads after a run (/EXITCODE). Portable.
#pragma once
#include <cstdint>

#include "run/run_state.h"

// The numbers the native scanner gives where they mean the same.
enum class ExitCode : int {
    NothingFound = 0,
    AllCleaned = 1,      // found, and everything was cleaned
    NotAllCleaned = 2,   // found, and something could not be cleaned
    NotDone = 3,         // the run could not be done, or not in full
    RestartNeeded = 4,   // found and cleaned, but a restart must finish the work
};

struct ExitInputs {
    const RemovalStats* stats = nullptr;
    // Could not run at all: wrong boot mode, no rights, no file functions,
    // a missing system function, no log anywhere, a start-up that failed.
    bool notDone = false;
    // Ran, but did not look at everything: cancelled, an /ONLYDIR= tree that
    // was not there.
    bool incomplete = false;
    // Work is waiting for the next restart (whether or not one was started).
    bool restartPending = false;
};

// When several hold: 3 over 2 over 4 over 1 over 0.
ExitCode DecideExitCode(const ExitInputs& in);
