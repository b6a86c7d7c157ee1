// Holds a file open for the tests until told to let go, or until the session
// ends (a restart ends it, as it would end any program).
// file_holder lock PATH NAME: opens PATH (creating it if needed) without any
//   sharing: nobody else may open it at all.
// file_holder read PATH NAME: opens PATH for reading, sharing reading only, the
//   way the loader holds a running program: others may read and copy it, but
//   nobody may write, rename over or delete it.
// Then sets the event NAME.ready, waits for NAME.release (at most 10 minutes),
// closes and exits.
#include <windows.h>

#include <cstring>
#include <string>

namespace {

HANDLE g_file = INVALID_HANDLE_VALUE;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_QUERYENDSESSION) return TRUE;
    if (msg == WM_ENDSESSION && wParam) {
        CloseHandle(g_file);
        ExitProcess(0);
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    if (std::strcmp(argv[1], "lock") == 0)
        g_file = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    else if (std::strcmp(argv[1], "read") == 0)
        g_file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    else
        return 2;
    if (g_file == INVALID_HANDLE_VALUE) return 1;

    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "QuorvinFileHolder";
    RegisterClassA(&wc);
    CreateWindowA(wc.lpszClassName, "file holder", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance,
                  nullptr);

    std::string name = argv[3];
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (name + ".ready").c_str());
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, (name + ".release").c_str());
    SetEvent(ready);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 600000) {
        DWORD r = MsgWaitForMultipleObjects(1, &release, FALSE, 1000, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) break;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    CloseHandle(g_file);
    return 0;
}
