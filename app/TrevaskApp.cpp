#include "app/TrevaskApp.h"

#include <commctrl.h>

#include "app/TrevaskDlg.h"

const char kSemaphoreName[] = "TheTrevaskSemaphore";

void TrevaskApp::InitInstance(HINSTANCE instance) {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);

    m_semaphore.reset(CreateSemaphoreA(nullptr, 1, 1, kSemaphoreName));
    if (!m_semaphore) {
        MessageBoxA(nullptr, "Couldn't create TheTrevaskSemaphore, exiting!", nullptr, MB_ICONWARNING);
        return;
    }
    if (WaitForSingleObject(m_semaphore.get(), 0) == WAIT_TIMEOUT) {
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
