// What the parts of the process library share with each other: handle
// owners for bound functions, remote memory readers, the stack routines and
// the cursor factories of each back-end.
#pragma once
#include <windows.h>

#include <string>

#include "ps/win32/ps_records_core.h"
#include "ps/win32/ps_win32.h"
#include "ps/win32/system_functions.h"
#include "ps/win32/ps_win32_templates.h"
#include "win32/unique_handle.h"

// Learned distances below a thread's stack top at which the system keeps the
// start routine of a new thread and the program's entry point of the main
// thread; 0 until learned.
extern uint32_t thread_start_offset;
extern uint32_t main_start_offset;

namespace ps_detail {

// Toolhelp snapshots: INVALID_HANDLE_VALUE on failure.
struct BoundSnapshotPolicy {
    using value_type = HANDLE;
    static HANDLE Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static bool Close(HANDLE h) noexcept { return dyn_CloseHandle(h) != 0; }
};
// Handles from the native open functions, closed with NtClose.
inline bool CloseNtHandle(HANDLE h) noexcept { return dyn_NtClose(h) == 0; }
using BoundHandle = UniqueBoundHandle;
using BoundSnapshot = win32::UniqueHandle<BoundSnapshotPolicy>;
using NtHandle = win32::UniqueHandle<NullEmptyPolicy<HANDLE, &CloseNtHandle>>;

constexpr DWORD kProcessQueryAndRead = 0x410;   // query information, read memory
constexpr DWORD kProcessQuery = 0x400;
constexpr DWORD kThreadAllAccess = 0x1F03FF;
constexpr DWORD kThreadContextAndQuery = 0x48;
constexpr ULONG kSystemProcessInformation = 5;
constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kThreadBasicInformation = 0;
constexpr ULONG kThreadQuerySetWin32StartAddress = 9;

NtHandle nt_open_process(uint32_t process_id, ACCESS_MASK access);
NtHandle nt_open_thread(uint32_t thread_id, ACCESS_MASK access);

// Another process's memory through NtReadVirtualMemory or ReadProcessMemory.
class nt_memory final : public ps_records::remote_memory {
public:
    explicit nt_memory(HANDLE process) : m_process(process) {}
    bool read(uint32_t address, void* out, uint32_t size) override;

private:
    HANDLE m_process;
};
class process_memory final : public ps_records::remote_memory {
public:
    explicit process_memory(HANDLE process) : m_process(process) {}
    bool read(uint32_t address, void* out, uint32_t size) override;

private:
    HANDLE m_process;
};

// The environment block's image base and loader data of a process opened
// with query and read access.
bool nt_read_peb(HANDLE process, ps_records::peb_fields* peb);

// Wide text to the ANSI code page (characters without an ANSI form become '?').
std::string to_ansi(const std::u16string& text);

// True on the NT family (asked once).
bool is_nt_family();

// Learns thread_start_offset and main_start_offset (a short probe thread).
void learn_stack_offsets();
bool read_stack_info(uint32_t process_id, uint32_t thread_id, ps_stack_info* info);
// The start routine read from the thread's stack at the learned offsets; 0
// when it cannot be found.
uint32_t probe_start_address(uint32_t process_id, uint32_t thread_id, bool first_thread);

ps_region* create_region_cursor(uint32_t process_id);
ps_module* create_nt_module_cursor(uint32_t process_id);
ps_module* create_toolhelp_module_cursor(uint32_t process_id, uint32_t process_module_id);
// Null when the snapshot is empty.
ps_process* create_nt_process_cursor(ps_records::nt_layout layout);
ps_process* create_toolhelp_process_cursor();

// What the thread cursors of both back-ends share: the stack record cached
// for the current (process, thread), termination, the zero operation, and
// the learning of the stack offsets on the first cursor made.
template <typename Snapshot, typename Record>
class ps_thread_cursor : public ps_cursor<ps_thread, Snapshot, Record> {
    using Base = ps_cursor<ps_thread, Snapshot, Record>;

public:
    uint32_t zero() override { return 0; }
    const ps_stack_info* stack_info() override {
        const uint32_t process = this->owner_id(), thread = this->id();
        if (m_stack_cached && m_stack_process == process && m_stack_thread == thread) return &m_stack;
        m_stack_cached = read_stack_info(process, thread, &m_stack);
        m_stack_process = process;
        m_stack_thread = thread;
        return m_stack_cached ? &m_stack : nullptr;
    }
    bool terminate() override { return terminate_thread_by_id(this->id()); }

protected:
    ps_thread_cursor(Snapshot* snapshot, Record* array, size_t size) : Base(snapshot, array, size) {
        if (thread_start_offset == 0) learn_stack_offsets();
    }

private:
    ps_stack_info m_stack = {};
    bool m_stack_cached = false;
    uint32_t m_stack_process = 0, m_stack_thread = 0;
};

}  // namespace ps_detail
