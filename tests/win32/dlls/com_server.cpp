// Stand-in for an in-process COM server: its unregister entry point appends
// a line to unregister.txt beside the library, so that tests see it called.
#include <windows.h>

#include <cstring>

namespace {
HMODULE g_self = nullptr;
}

extern "C" {

HRESULT WINAPI DllUnregisterServer() {
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(g_self, path, MAX_PATH);
    char* slash = n ? std::strrchr(path, '\\') : nullptr;
    if (!slash || slash + sizeof "unregister.txt" >= path + MAX_PATH) return E_FAIL;
    lstrcpyA(slash + 1, "unregister.txt");
    HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return E_FAIL;
    DWORD put = 0;
    WriteFile(f, "unregister\r\n", 12, &put, nullptr);
    CloseHandle(f);
    return S_OK;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_self = instance;
    return TRUE;
}

}  // extern "C"
