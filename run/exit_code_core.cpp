#include "run/exit_code_core.h"

#include "run/report_core.h"

ExitCode DecideExitCode(const ExitInputs& in) {
    const RemovalStats& s = *in.stats;
    if (in.notDone || in.incomplete) return ExitCode::NotDone;
    const bool leftInPlace = s.deleteFailed || s.repairsFailed || s.processesNotTerminated ||
                             s.threadsNotTerminated || s.registryEntriesNotFixed || s.directoriesNotDeleted;
    const bool found = leftInPlace || ReportFindsSomething(s) || s.directoriesDeleted || s.directoriesPendingReboot;
    if (!found) return ExitCode::NothingFound;
    if (leftInPlace) return ExitCode::NotAllCleaned;
    if (in.restartPending || s.repairsPendingReboot || s.deletesPendingReboot || s.directoriesPendingReboot)
        return ExitCode::RestartNeeded;
    return ExitCode::AllCleaned;
}
