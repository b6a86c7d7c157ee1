// The run state a removal run sets up before its walk, for tests that call
// the scan functions in their own process.
#pragma once
#include "app/environment.h"
#include "app/run_state.h"
#include "scan/api_table.h"

namespace qt {

// Fresh counters and flags, the platform identified (it must be the NT
// family), silent mode and the wide function table. False when the platform
// is not NT or the table cannot be filled.
inline bool PrepareNtWalk() {
    ResetRunState();
    IdentifyPlatform();
    if (!g_run.isNtFamily) return false;
    g_run.silentMode = true;
    g_run.maxPathChars = kMaxPathCharsNt;
    return LoadApiTable() == 1;
}

}  // namespace qt
