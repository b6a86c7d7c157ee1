#include "procs/terminate.h"

#include <windows.h>

#include <vector>

#include "run/run_context.h"
#include "procs/process_match_core.h"
#include "procs/threats.h"
#include "ps/win32/ps_win32.h"
#include "ps/win32/system_functions.h"

namespace {
constexpr char kProcessEnded[] = "process: %s (terminaed)";
}

int TerminateProcessesByImage(RemovalRun& run, const ImageTerminationRecord* table) {
    if (!table) return -1;
    ps_owner<ps_process> processes(create_process_list(0));
    if (!processes) return -1;
    const uint32_t self = dyn_GetCurrentProcessId();
    // Records are marked done only after the walk: one name may match several processes.
    std::vector<const ImageTerminationRecord*> matched;
    int last = -1;
    do {
        if (processes->id() == self) continue;   // ending the run itself would lose its log
        const char* path = processes->path();
        if (!path) continue;
        for (int i = 0; table[i].name; ++i) {
            const ImageTerminationRecord& record = table[i];
            if (run.imageTermination.done(record) || !ContainsIgnoringCase(path, record.name)) continue;
            if (!TerminateProcessById(processes->id())) continue;
            matched.push_back(&record);
            ++run.stats.processesTerminated;
            run.log.Format(kProcessEnded, processes->name());
            last = i;
            break;   // the process is gone: later records cannot end it again
        }
    } while (processes->next());
    for (const ImageTerminationRecord* record : matched) run.imageTermination.SetDone(*record);
    return last;
}
