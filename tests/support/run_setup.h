// The run state a removal run sets up before its walk, for tests that call
// the scan functions in their own process.
#pragma once
#include "app/environment.h"
#include "run/run_context.h"

namespace testsupport {

// The display of a run in a test: it handles one waiting message per call,
// as the dialog does, and passes on a cancel that the test asks for.
class PumpingProgress : public RunProgress {
public:
    void PumpOneMessage() override {
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) && msg.message != WM_QUIT) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    bool CancelRequested() override { return cancel; }
    bool cancel = false;
};

// The platform identified (it must be the NT family), silent mode (set the
// options first: they hold it) and the
// wide function table. False when the platform is not NT or the table cannot
// be filled.
inline bool PrepareNtWalk(RemovalRun& run) {
    IdentifyPlatform(run.flags);
    if (!run.flags.isNtFamily) return false;
    run.options.silentMode = true;
    run.flags.maxPathChars = kMaxPathCharsNt;
    return LoadApiTable(run.api, run.flags) == 1;
}

}  // namespace testsupport
