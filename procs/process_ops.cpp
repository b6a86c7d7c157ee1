// Small operations on one process, thread or privilege, through the bound
// system functions so that they work on every Windows version.
#include "procs/threats.h"
#include "ps/win32/system_functions.h"

namespace {

// All access, as the 9x and NT 4 to XP kernels define it; SYNCHRONIZE is
// part of both, so a process handle can be waited for.
constexpr DWORD kThreadAllAccess = 0x1F03FF;
constexpr DWORD kProcessAllAccess = 0x1F0FFF;
constexpr DWORD kTerminationWaitMs = 5000;
constexpr DWORD kAdjustAndQuery = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;   // 0x28
constexpr DWORD kSuspendFailed = 0xFFFFFFFF;

}  // namespace

bool SuspendThreadById(uint32_t threadId) {
    UniqueBoundHandle thread(dyn_OpenThread(kThreadAllAccess, FALSE, threadId));
    if (!thread) return false;
    return dyn_SuspendThread(thread.get()) != kSuspendFailed;
}

bool TerminateProcessById(uint32_t processId) {
    UniqueBoundHandle process(dyn_OpenProcess(kProcessAllAccess, FALSE, processId));
    if (!process) return false;
    if (!dyn_TerminateProcess(process.get(), 0)) return false;
    // Termination is asynchronous: give the process time to go before its
    // files are touched. A failed termination is not waited for.
    dyn_WaitForSingleObject(process.get(), kTerminationWaitMs);
    return true;
}

bool TerminateThreadById(uint32_t threadId) {
    UniqueBoundHandle thread(dyn_OpenThread(kThreadAllAccess, FALSE, threadId));
    if (!thread) return false;
    return dyn_TerminateThread(thread.get(), 0) != 0;
}

PrivilegeChange ChangePrivilege(const char* privilege, bool enable) {
    HANDLE opened = nullptr;
    if (!dyn_OpenProcessToken(dyn_GetCurrentProcess(), kAdjustAndQuery, &opened)) return PrivilegeChange::Failed;
    UniqueBoundHandle token(opened);
    TOKEN_PRIVILEGES change = {};
    change.PrivilegeCount = 1;
    change.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!dyn_LookupPrivilegeValueA(nullptr, privilege, &change.Privileges[0].Luid)) return PrivilegeChange::Failed;
    if (!dyn_AdjustTokenPrivileges(token.get(), FALSE, &change, 0, nullptr, nullptr)) return PrivilegeChange::Failed;
    // The adjustment also succeeds for a privilege the token does not hold;
    // only the last error tells, and nothing was changed then.
    const bool held = dyn_GetLastError() != ERROR_NOT_ALL_ASSIGNED;
    if (!token.reset()) return PrivilegeChange::Failed;
    return held ? PrivilegeChange::Changed : PrivilegeChange::NotHeld;
}

bool EnablePrivilege(const char* privilege, bool enable) {
    return ChangePrivilege(privilege, enable) != PrivilegeChange::Failed;
}
