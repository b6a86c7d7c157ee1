// The application object: single instance, main dialog, exit.
#pragma once
#include <windows.h>

#include "win32/unique_handle.h"

class TrevaskApp {
public:
    // Start-up; always returns (the process then ends with exit code 0).
    void InitInstance(HINSTANCE instance);
    // Releases the semaphore; the exit code, always 0.
    int ExitInstance();

private:
    win32::UniqueKernelHandle m_semaphore;
};

extern const char kSemaphoreName[];
