// Holds a file open without any sharing until told to let go, or until the
// session ends (a restart ends it, as it would end any program).
// file_locker PATH NAME: opens PATH (creating it if needed), sets the event
// NAME.locked, waits for NAME.release (at most 10 minutes), closes and exits.
#include <windows.h>

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
    if (argc < 3) return 2;
    g_file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_file == INVALID_HANDLE_VALUE) return 1;

    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "QuorvinFileLocker";
    RegisterClassA(&wc);
    CreateWindowA(wc.lpszClassName, "file locker", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance,
                  nullptr);

    std::string name = argv[2];
    HANDLE locked = CreateEventA(nullptr, TRUE, FALSE, (name + ".locked").c_str());
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, (name + ".release").c_str());
    SetEvent(locked);
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
