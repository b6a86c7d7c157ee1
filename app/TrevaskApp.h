// The application object: single instance, main dialog, exit.
#pragma once
#include <windows.h>

#include "win32/unique_handle.h"

class TrevaskApp {
public:
    // Start-up; always returns.
    void InitInstance(HINSTANCE instance);
    // Releases the semaphore; the exit code: 0, or with /EXITCODE the run's.
    int ExitInstance();

private:
    win32::UniqueKernelHandle m_semaphore;
    int m_exitCode = 0;
};

extern const char kSemaphoreName[];
