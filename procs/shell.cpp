#include "procs/shell.h"

#include <windows.h>

#include <string>

#include "procs/process_match_core.h"
#include "ps/win32/ps_win32.h"
#include "win32/unique_handle.h"

namespace {
constexpr char kShellImage[] = "explorer.exe";
constexpr UINT kWindowsDirChars = 275;
constexpr DWORD kNormalPriorityClass = 0x20;
}  // namespace

int RestartShell() {
    if (ps_owner<ps_process> processes{create_process_list(0)}) {
        do {
            if (ContainsIgnoringCase(processes->path(), kShellImage)) return 0;
        } while (processes->next());
    }
    char windowsDir[kWindowsDirChars] = {};
    const UINT n = GetWindowsDirectoryA(windowsDir, kWindowsDirChars);
    if (n == 0 || n >= kWindowsDirChars) return 0;
    std::string commandLine = std::string(windowsDir) + "\\" + kShellImage;

    char title[1] = {};
    STARTUPINFOA startup = {};
    static_assert(sizeof startup == 68, "the start-up information of the 32-bit system");
    startup.cb = sizeof startup;
    startup.lpTitle = title;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, kNormalPriorityClass, nullptr, nullptr,
                        &startup, &started))
        return 0;
    // Nobody waits for the shell.
    win32::UniqueKernelHandle process(started.hProcess);
    win32::UniqueKernelHandle thread(started.hThread);
    return 1;
}
