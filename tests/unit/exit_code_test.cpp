// The exit code a script reads after a run: 3 over 2 over 4 over 1 over 0.
#include <gtest/gtest.h>

#include "run/exit_code_core.h"

namespace {

TEST(ExitCode, DecisionTable) {
    struct Case {
        const char* what;
        uint32_t RemovalStats::*counter;   // set to 1 (null: nothing)
        bool notDone, incomplete, restart;
        ExitCode expected;
    } cases[] = {
        {"clean machine", nullptr, false, false, false, ExitCode::NothingFound},
        {"repaired", &RemovalStats::repairs, false, false, false, ExitCode::AllCleaned},
        {"only a service", &RemovalStats::servicesRemoved, false, false, false, ExitCode::AllCleaned},
        {"repair failed", &RemovalStats::repairsFailed, false, false, false, ExitCode::NotAllCleaned},
        {"process left", &RemovalStats::processesNotTerminated, false, false, false, ExitCode::NotAllCleaned},
        {"directory left", &RemovalStats::directoriesNotDeleted, false, false, false, ExitCode::NotAllCleaned},
        {"deletion at the restart", &RemovalStats::deletesPendingReboot, false, false, false, ExitCode::RestartNeeded},
        {"restart flag", &RemovalStats::repairs, false, false, true, ExitCode::RestartNeeded},
        {"failed over restart", &RemovalStats::deleteFailed, false, false, true, ExitCode::NotAllCleaned},
        {"not done over failed", &RemovalStats::repairsFailed, true, false, false, ExitCode::NotDone},
        {"not done, nothing found", nullptr, true, false, false, ExitCode::NotDone},
        {"cancelled over restart", &RemovalStats::repairsPendingReboot, false, true, true, ExitCode::NotDone},
    };
    for (const Case& c : cases) {
        RemovalStats s;
        if (c.counter) s.*c.counter = 1;
        ExitInputs in{&s, c.notDone, c.incomplete, c.restart};
        EXPECT_EQ(DecideExitCode(in), c.expected) << c.what;
    }
}

}  // namespace
