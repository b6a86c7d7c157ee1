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

// Another process's memory, each read whole or not at all: through the
// native NtReadVirtualMemory (the native back-end's reads) or ReadProcessMemory.
class process_memory final : public ps_records::remote_memory {
public:
    enum class route { native, kernel32 };
    explicit process_memory(HANDLE process, route how = route::kernel32) : m_process(process), m_route(how) {}
    bool read(uint32_t address, void* out, uint32_t size) override;

private:
    HANDLE m_process;
    route m_route;
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

// The module cursor of both back-ends, over a snapshot that holds the
// process's records sorted by base (m_records), the process (m_process_id)
// and its main image (m_image_base, when m_has_main), and that says per record
// where it lies and what it is called:
//     static uint32_t base(const record_type&), size(const record_type&);
//     bool names(const record_type&, std::string* name, std::string* path);   // false: no path
template <typename Snapshot>
class ps_module_cursor final : public ps_cursor<ps_module, Snapshot, typename Snapshot::record_type> {
    using Record = typename Snapshot::record_type;
    using Base = ps_cursor<ps_module, Snapshot, Record>;

public:
    explicit ps_module_cursor(Snapshot* snapshot)
        : Base(snapshot, snapshot->m_records.data(), snapshot->m_records.size()) {}
    ps_module* clone() const override { return new ps_module_cursor(this->m_snapshot); }

    uint32_t owner_id() override { return this->m_snapshot->m_process_id; }
    const char* name() override {
        load_names();
        return m_name.c_str();
    }
    const char* path() override {
        load_names();
        return m_path_found ? m_path.c_str() : nullptr;
    }
    uint32_t base_address() override { return Snapshot::base(this->record()); }
    uint32_t end_address() override {
        const Record& r = this->record();
        return Snapshot::base(r) + Snapshot::size(r) - 1;
    }
    bool find_by_address(uint32_t address) override {
        const size_t found = ps_find_containing(this->m_array, this->m_array_size, address,
                                                [](const Record& r, uint32_t* base, uint32_t* size) {
                                                    *base = Snapshot::base(r);
                                                    *size = Snapshot::size(r);
                                                });
        if (found == this->m_array_size) return false;
        this->seek(found);
        return true;
    }
    bool select_main() override {
        return this->m_snapshot->m_has_main && find_by_address(this->m_snapshot->m_image_base);
    }
    bool is_main() override {
        return this->check() && this->m_snapshot->m_has_main &&
               Snapshot::base(this->record()) == this->m_snapshot->m_image_base;
    }

private:
    void load_names() {
        if (m_names_index == this->m_index) return;
        m_names_index = this->m_index;
        m_name.clear();
        m_path.clear();
        m_path_found = false;
        if (!this->check()) return;
        m_path_found = this->m_snapshot->names(this->record(), &m_name, &m_path);
    }

    size_t m_names_index = static_cast<size_t>(-1);
    std::string m_name, m_path;
    bool m_path_found = false;
};

// A module snapshot without records is deleted and yields no cursor.
template <typename Snapshot>
ps_module* ps_module_cursor_over(Snapshot* snapshot) {
    if (snapshot->m_records.size() == 0) {
        ps_discard_snapshot(snapshot);
        return nullptr;
    }
    return new ps_module_cursor<Snapshot>(snapshot);
}

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
