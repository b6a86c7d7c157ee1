// The operations of the process library by id, and privileges.
#include "ps/win32/ps_win32.h"

#include <cstddef>
#include <memory>
#include <new>

#include "ps/win32/system_functions.h"

int set_privilege(HANDLE token, const char* name, bool enable, bool* previous) {
    LUID luid;
    if (!dyn_LookupPrivilegeValueA(nullptr, name, &luid)) return 0;
    DWORD needed = 0;
    if (!dyn_GetTokenInformation(token, TokenPrivileges, nullptr, 0, &needed) &&
        dyn_GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return 0;
    if (needed < sizeof(TOKEN_PRIVILEGES)) needed = sizeof(TOKEN_PRIVILEGES);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[needed]());
    if (!buffer || !dyn_GetTokenInformation(token, TokenPrivileges, buffer.get(), needed, &needed)) return 0;
    const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.get());
    // Only the entries that lie inside what was read.
    const size_t room = (needed - offsetof(TOKEN_PRIVILEGES, Privileges)) / sizeof(LUID_AND_ATTRIBUTES);
    const size_t count = held->PrivilegeCount < room ? held->PrivilegeCount : room;
    for (size_t i = 0; i < count; ++i) {
        const LUID_AND_ATTRIBUTES& entry = held->Privileges[i];
        if (entry.Luid.LowPart != luid.LowPart || entry.Luid.HighPart != luid.HighPart) continue;
        const bool current = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        if (previous) *previous = current;
        if (current == enable) return 1;
        TOKEN_PRIVILEGES change = {};
        change.PrivilegeCount = 1;
        change.Privileges[0].Luid = luid;
        change.Privileges[0].Attributes =
            enable ? (entry.Attributes | SE_PRIVILEGE_ENABLED) : (entry.Attributes & ~SE_PRIVILEGE_ENABLED);
        // A partial assignment succeeds with ERROR_NOT_ALL_ASSIGNED: that is a failure here.
        return dyn_AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr) && dyn_GetLastError() == 0 ? 1 : 0;
    }
    return 0;
}

bool terminate_process_by_id(uint32_t id) {
    UniqueBoundHandle process(dyn_OpenProcess(PROCESS_TERMINATE, FALSE, id));
    if (!process || !dyn_TerminateProcess(process.get(), 0)) return false;
    dyn_WaitForSingleObject(process.get(), INFINITE);
    return true;
}

bool terminate_thread_by_id(uint32_t id) {
    UniqueBoundHandle thread(dyn_OpenThread(THREAD_TERMINATE, FALSE, id));
    if (!thread || !dyn_TerminateThread(thread.get(), 0)) return false;
    dyn_WaitForSingleObject(thread.get(), INFINITE);
    return true;
}

namespace {
bool change_suspension(uint32_t id, bool suspend, uint32_t* previous_count) {
    UniqueBoundHandle thread(dyn_OpenThread(THREAD_SUSPEND_RESUME, FALSE, id));
    if (!thread) return false;
    const DWORD count = suspend ? dyn_SuspendThread(thread.get()) : dyn_ResumeThread(thread.get());
    if (count == 0xFFFFFFFF) return false;
    if (previous_count) *previous_count = count;
    return true;
}
}  // namespace

bool suspend_thread_by_id(uint32_t id, uint32_t* previous_count) { return change_suspension(id, true, previous_count); }
bool resume_thread_by_id(uint32_t id, uint32_t* previous_count) { return change_suspension(id, false, previous_count); }
