// create_process_list: the back-end that this system's version calls for.
#include "ps/win32/ps_win32.h"
#include "ps/win32/ps_win32_internal.h"

using namespace ps_detail;
using ps_records::nt_layout_for_major;

ps_process* create_process_list(int flag) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    static_assert(sizeof version == 148);
    if (!dyn_GetVersionExA(&version)) return nullptr;
    const bool nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    if (nt) {
        // So that other users' processes can be opened.
        HANDLE token = nullptr;
        if (dyn_OpenProcessToken(dyn_GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
            BoundHandle owner(token);
            set_privilege(token, "SeDebugPrivilege", true, nullptr);
        }
    }
    const DWORD major = version.dwMajorVersion, minor = version.dwMinorVersion;
    if (nt && (major < 5 || (major == 5 && minor <= 1))) {
        if (ps_process* native = create_nt_process_cursor(nt_layout_for_major(major))) return native;
    }
    if ((nt || version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) && flag == 0)
        return create_toolhelp_process_cursor();
    return nullptr;
}
