#include "app/TrevaskApp.h"

#include <commctrl.h>

#include <cstring>
#include <vector>

#include "app/TrevaskDlg.h"
#include "run/options_core.h"
#include "run/threat_definition.h"

const char kSemaphoreName[] = "TheTrevaskSemaphore";

namespace {

// The dialog parses the command line later; the start-up only needs to know
// whether anybody is there to answer a box, and whether a script waits for
// an exit code. Parsed from a copy, as the parser cuts its text up.
RunOptions StartUpOptions() {
    RunOptions options = DefaultRunOptions(BuiltInDefinition());
    const char* line = GetCommandLineA();
    if (!line) return options;
    std::vector<char> copy(line, line + std::strlen(line) + 1);
    ParseCommandLine(copy.data(), options, BuiltInDefinition());
    return options;
}

}  // namespace

void TrevaskApp::InitInstance(HINSTANCE instance) {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);

    // A silent copy (a script, a deployment) has nobody to click a box away:
    // where start-up ends, it ends at once, without one.
    const RunOptions options = StartUpOptions();
    const bool silent = options.silentMode;
    // A copy that never gets to run has not done what it was asked.
    m_exitCode = options.exitCodeWanted ? static_cast<int>(ExitCode::NotDone) : 0;
    m_semaphore.reset(CreateSemaphoreA(nullptr, 1, 1, kSemaphoreName));
    if (!m_semaphore) {
        if (!silent) MessageBoxA(nullptr, "Couldn't create TheTrevaskSemaphore, exiting!", nullptr, MB_ICONWARNING);
        return;
    }
    if (WaitForSingleObject(m_semaphore.get(), 0) == WAIT_TIMEOUT) {
        if (!silent)
            MessageBoxA(nullptr, "Only one Trevask running at a time please, exiting!", nullptr, MB_ICONWARNING);
        m_semaphore.reset();
        return;
    }
    TrevaskDlg dialog;
    dialog.DoModal(instance);
    // The dialog's own parse decides; a dialog closed before any run (Close
    // pressed at once) did not do what it was started for.
    const RemovalRun& run = dialog.run;
    ExitCode code = run.exitCode;
    if (!run.runInProgress && code == ExitCode::NothingFound) code = ExitCode::NotDone;
    m_exitCode = run.options.exitCodeWanted ? static_cast<int>(code) : 0;
}

int TrevaskApp::ExitInstance() {
    if (m_semaphore) {
        ReleaseSemaphore(m_semaphore.get(), 1, nullptr);
        m_semaphore.reset();
    }
    return m_exitCode;
}
