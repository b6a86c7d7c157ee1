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
// whether anybody is there to answer a box. Parsed from a copy, as the parser
// cuts its text up.
bool CommandLineIsSilent() {
    const char* line = GetCommandLineA();
    if (!line) return false;
    std::vector<char> copy(line, line + std::strlen(line) + 1);
    RunOptions options = DefaultRunOptions(BuiltInDefinition());
    ParseCommandLine(copy.data(), options, BuiltInDefinition());
    return options.silentMode;
}

}  // namespace

void TrevaskApp::InitInstance(HINSTANCE instance) {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);

    // A silent copy (a script, a deployment) has nobody to click a box away:
    // where start-up ends, it ends at once, without one.
    const bool silent = CommandLineIsSilent();
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
}

int TrevaskApp::ExitInstance() {
    if (m_semaphore) {
        ReleaseSemaphore(m_semaphore.get(), 1, nullptr);
        m_semaphore.reset();
    }
    return 0;
}
