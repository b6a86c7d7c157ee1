// The exit code a script reads after a run.
#include <gtest/gtest.h>

#include "run/exit_code_core.h"

namespace {

struct Case {
    const char* what;
    void (*set)(RemovalStats&);
    bool notDone;
    bool incomplete;
    bool restartPending;
    ExitCode expected;
};

void None(RemovalStats&) {}
void Repaired(RemovalStats& s) { s.infections = s.repairs = 1; }
void Deleted(RemovalStats& s) { s.filesDeleted = 1; }
void RepairFailed(RemovalStats& s) { s.infections = s.repairsFailed = 1; }
void DeleteFailed(RemovalStats& s) { s.deleteFailed = 1; }
void ProcessLeft(RemovalStats& s) { s.processesNotTerminated = 1; }
void ThreadLeft(RemovalStats& s) { s.threadsNotTerminated = 1; }
void RegistryLeft(RemovalStats& s) { s.registryEntriesNotFixed = 1; }
void DirectoryLeft(RemovalStats& s) { s.directoriesNotDeleted = 1; }
void OnlyRegistry(RemovalStats& s) { s.registryEntriesFixed = 1; }
void OnlyService(RemovalStats& s) { s.servicesRemoved = 1; }
void OnlyProcess(RemovalStats& s) { s.processesTerminated = 1; }
void RepairAtRestart(RemovalStats& s) { s.infections = s.repairsPendingReboot = 1; }
void DeleteAtRestart(RemovalStats& s) { s.deletesPendingReboot = 1; }
void RestartAndFailed(RemovalStats& s) { s.deletesPendingReboot = s.repairsFailed = 1; }
void Scanned(RemovalStats& s) { s.filesScanned = 500; }

// 3 over 2 over 4 over 1 over 0.
TEST(ExitCode, DecisionTable) {
    const Case cases[] = {
        {"clean machine", Scanned, false, false, false, ExitCode::NothingFound},
        {"repaired", Repaired, false, false, false, ExitCode::AllCleaned},
        {"deleted", Deleted, false, false, false, ExitCode::AllCleaned},
        {"only a registry entry", OnlyRegistry, false, false, false, ExitCode::AllCleaned},
        {"only a service", OnlyService, false, false, false, ExitCode::AllCleaned},
        {"only a process", OnlyProcess, false, false, false, ExitCode::AllCleaned},
        {"repair failed", RepairFailed, false, false, false, ExitCode::NotAllCleaned},
        {"delete failed", DeleteFailed, false, false, false, ExitCode::NotAllCleaned},
        {"process left", ProcessLeft, false, false, false, ExitCode::NotAllCleaned},
        {"thread left", ThreadLeft, false, false, false, ExitCode::NotAllCleaned},
        {"registry entry left", RegistryLeft, false, false, false, ExitCode::NotAllCleaned},
        {"directory left", DirectoryLeft, false, false, false, ExitCode::NotAllCleaned},
        {"repair at restart", RepairAtRestart, false, false, false, ExitCode::RestartNeeded},
        {"delete at restart", DeleteAtRestart, false, false, false, ExitCode::RestartNeeded},
        {"restart flag", Repaired, false, false, true, ExitCode::RestartNeeded},
        {"failed beats restart", RestartAndFailed, false, false, true, ExitCode::NotAllCleaned},
        {"not done beats failed", RepairFailed, true, false, false, ExitCode::NotDone},
        {"not done on a clean machine", None, true, false, false, ExitCode::NotDone},
        {"cancelled after a repair", Repaired, false, true, false, ExitCode::NotDone},
        {"incomplete beats restart", DeleteAtRestart, false, true, true, ExitCode::NotDone},
    };
    for (const Case& c : cases) {
        RemovalStats s;
        c.set(s);
        ExitInputs in;
        in.stats = &s;
        in.notDone = c.notDone;
        in.incomplete = c.incomplete;
        in.restartPending = c.restartPending;
        EXPECT_EQ(DecideExitCode(in), c.expected) << c.what;
    }
}

TEST(ExitCode, NumbersAreTheNativeScannersAndFour) {
    EXPECT_EQ(static_cast<int>(ExitCode::NothingFound), 0);
    EXPECT_EQ(static_cast<int>(ExitCode::AllCleaned), 1);
    EXPECT_EQ(static_cast<int>(ExitCode::NotAllCleaned), 2);
    EXPECT_EQ(static_cast<int>(ExitCode::NotDone), 3);
    EXPECT_EQ(static_cast<int>(ExitCode::RestartNeeded), 4);
}

}  // namespace
