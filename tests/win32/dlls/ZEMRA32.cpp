// Stand-in for the maker's real-time protection library: records each call
// as a line of calls.txt beside itself, so that tests see what the program
// asked for and in which order.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

HMODULE g_self = nullptr;
// Set by an in-process test: a number recorded with each call (for example
// the files scanned so far).
long(WINAPI* g_probe)() = nullptr;

void Record(const char* what) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(g_self, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (!slash) return;
    std::strcpy(slash + 1, "calls.txt");
    char line[128];
    if (g_probe)
        std::snprintf(line, sizeof line, "%s %ld\r\n", what, g_probe());
    else
        std::snprintf(line, sizeof line, "%s\r\n", what);
    HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD put = 0;
    WriteFile(f, line, static_cast<DWORD>(std::strlen(line)), &put, nullptr);
    CloseHandle(f);
}

}  // namespace

extern "C" {

// Exported as "_gretz4@0" (pause) and "_gretz3@0" (resume), see the .def file.
int WINAPI gretz4() {
    Record("pause");
    return 0;
}

int WINAPI gretz3() {
    Record("resume");
    return 0;
}

void WINAPI SetProbe(long(WINAPI* probe)()) { g_probe = probe; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = instance;
        // The error mode the loader ran under (critical-error boxes off?).
        UINT mode = SetErrorMode(0);
        SetErrorMode(mode);
        char line[64];
        std::snprintf(line, sizeof line, "load errormode=%u", mode & SEM_FAILCRITICALERRORS);
        Record(line);
    }
    return TRUE;
}

}
