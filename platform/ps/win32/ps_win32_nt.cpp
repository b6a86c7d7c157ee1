// The native back-end: processes and their threads from the system process
// information, modules from the other process's loader list.
#include <string>

#include "ps/win32/ps_win32_internal.h"

using namespace ps_records;

namespace ps_detail {

namespace {

struct object_attributes {
    ULONG length;
    HANDLE root;
    void* name;
    ULONG attributes;
    void* security_descriptor;
    void* security_quality_of_service;
};
static_assert(sizeof(object_attributes) == 24);
struct client_id {
    uint32_t process;
    uint32_t thread;
};

NtHandle nt_open(bool thread, uint32_t id, ACCESS_MASK access) {
    object_attributes attributes = {sizeof attributes, nullptr, nullptr, 0, nullptr, nullptr};
    client_id client = thread ? client_id{0, id} : client_id{id, 0};
    HANDLE handle = nullptr;
    const LONG status = thread ? dyn_NtOpenThread(&handle, access, &attributes, &client)
                               : dyn_NtOpenProcess(&handle, access, &attributes, &client);
    return NtHandle(status == 0 ? handle : nullptr);
}

uint32_t query_processes(void*, uint8_t* buffer, uint32_t size, uint32_t* reported) {
    ULONG length = 0;
    const LONG status = dyn_NtQuerySystemInformation(kSystemProcessInformation, buffer, size, &length);
    *reported = length;
    return static_cast<uint32_t>(status);
}

class nt_process_snapshot final : public ps_snapshot {
public:
    explicit nt_process_snapshot(nt_layout layout) : m_layout(layout) {
        nt_buffer filled = nt_query_growing(&query_processes, nullptr);
        m_buffer = std::move(filled.data);
        m_size = filled.size;
        m_count = nt_link_entries(m_buffer.get(), m_size, m_layout);
    }
    const nt_layout m_layout;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_size = 0;
    uint32_t m_count = 0;
};

// The thread entries inside one process entry (the snapshot is shared).
class nt_thread_cursor final : public ps_thread_cursor<nt_process_snapshot, nt_thread_entry> {
public:
    nt_thread_cursor(nt_process_snapshot* snapshot, nt_thread_entry* array, size_t size)
        : ps_thread_cursor(snapshot, array, size) {}
    ps_thread* clone() const override { return new nt_thread_cursor(m_snapshot, m_array, m_array_size); }
    uint32_t id() override { return nt_read_thread(record()).id; }
    uint32_t owner_id() override { return nt_read_thread(record()).owner_id; }
    int32_t base_priority() override { return nt_read_thread(record()).base_priority; }
    int32_t priority_delta() override {
        const nt_thread_fields f = nt_read_thread(record());
        return f.priority - f.base_priority;
    }
    uint32_t start_address() override {
        const nt_thread_fields f = nt_read_thread(record());
        read_value queried;
        if (NtHandle thread = nt_open_thread(f.id, kThreadAllAccess))
            queried.read = dyn_NtQueryInformationThread(thread.get(), kThreadQuerySetWin32StartAddress, &queried.value,
                                                        sizeof queried.value, nullptr) == 0;
        // The probe opens the process and reads its stack: only when the query gave nothing believable.
        if (queried.read && queried.value >= kLowestStartAddress) return queried.value;
        return nt_choose_start_address(queried, probe_start_address(f.owner_id, f.id, at_first()), f.start_address);
    }
};

class nt_process_cursor final : public ps_cursor<ps_process, nt_process_snapshot, uint8_t> {
public:
    explicit nt_process_cursor(nt_process_snapshot* snapshot)
        : ps_cursor(snapshot, snapshot->m_buffer.get(), snapshot->m_count) {}
    ps_process* clone() const override { return new nt_process_cursor(m_snapshot); }

    bool next() override {
        const uint32_t step = fields().next;
        if (step == 0 || !ps_cursor::next()) return false;
        m_offset += step;
        return true;
    }
    bool prev() override {
        const uint32_t predecessor = fields().predecessor;
        if (!ps_cursor::prev()) return false;
        m_offset = predecessor;
        return true;
    }
    bool first() override {
        m_offset = 0;
        return ps_cursor::first();
    }
    bool last() override {
        while (next()) {
        }
        return m_array_size != 0;
    }

    uint32_t id() override { return fields().id; }
    uint32_t parent_id() override { return fields().parent_id; }
    int32_t base_priority() override { return fields().base_priority; }
    uint32_t thread_count() override { return fields().thread_count; }

    const char* name() override {
        if (m_name_index == m_index) return m_name.c_str();
        m_name.clear();
        if (check()) {
            std::u16string wide;
            const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(m_array));
            switch (nt_image_name(m_array, m_snapshot->m_size, address, m_offset, &wide)) {
            case nt_name::image: m_name = to_ansi(wide); break;
            case nt_name::system_process: m_name = kSystemProcessName; break;
            case nt_name::unreadable: break;
            }
        }
        m_name_index = m_index;
        return m_name.c_str();
    }

    const char* path() override {
        if (m_path_index != m_index) {
            m_path_index = m_index;
            m_path_found = read_path();
        }
        return m_path_found ? m_path.c_str() : nullptr;
    }

    ps_region* regions() override { return check() ? create_region_cursor(id()) : nullptr; }
    ps_module* modules() override { return check() ? create_nt_module_cursor(id()) : nullptr; }
    ps_thread* threads() override {
        const nt_process_fields f = fields();
        if (f.threads_present == 0) return nullptr;
        return new nt_thread_cursor(m_snapshot, reinterpret_cast<nt_thread_entry*>(m_array + f.threads_offset),
                                    f.threads_present);
    }
    bool terminate() override { return check() && terminate_process_by_id(id()); }

private:
    nt_process_fields fields() const {
        if (!check()) return nt_process_fields();
        return nt_read_process(m_array, m_snapshot->m_size, m_offset, m_snapshot->m_layout);
    }

    bool read_path() {
        m_path.clear();
        if (!check()) return false;
        NtHandle process = nt_open_process(id(), kProcessQueryAndRead);
        peb_fields peb;
        if (!process || !nt_read_peb(process.get(), &peb)) return false;
        process_memory memory(process.get(), process_memory::route::native);
        ldr_entry entry;
        std::u16string wide;
        if (!find_loader_entry(memory, peb.loader_data, peb.image_base, &entry) ||
            !read_loader_name(memory, entry, ldr_name::full, &wide))
            return false;
        m_path = to_ansi(wide);
        return true;
    }

    static constexpr size_t kNone = static_cast<size_t>(-1);
    uint32_t m_offset = 0;
    size_t m_name_index = kNone;
    std::string m_name;
    size_t m_path_index = kNone;
    bool m_path_found = false;
    std::string m_path;
};

class nt_module_snapshot final : public ps_array_snapshot<ldr_entry> {
public:
    using record_type = ldr_entry;
    static uint32_t base(const ldr_entry& entry) { return ldr_base(entry); }
    static uint32_t size(const ldr_entry& entry) { return ldr_size(entry); }
    // Both names from the other process's loader data; false (no path) when
    // it cannot be opened or read.
    bool names(const ldr_entry& entry, std::string* name, std::string* path) const {
        NtHandle process = nt_open_process(m_process_id, kProcessQueryAndRead);
        if (!process) return false;
        process_memory memory(process.get(), process_memory::route::native);
        std::u16string wide;
        if (read_loader_name(memory, entry, ldr_name::base, &wide)) *name = to_ansi(wide);
        if (!read_loader_name(memory, entry, ldr_name::full, &wide)) return false;
        *path = to_ansi(wide);
        return true;
    }
    uint32_t m_process_id = 0;
    uint32_t m_image_base = 0;
    const bool m_has_main = true;   // the image base comes from the environment block
};

}  // namespace

NtHandle nt_open_process(uint32_t process_id, ACCESS_MASK access) { return nt_open(false, process_id, access); }
NtHandle nt_open_thread(uint32_t thread_id, ACCESS_MASK access) { return nt_open(true, thread_id, access); }

bool nt_read_peb(HANDLE process, peb_fields* peb) {
    uint32_t basic[6] = {};   // exit status, environment block, affinity, priority, id, parent
    static_assert(sizeof basic == 24);
    ULONG length = 0;
    if (dyn_NtQueryInformationProcess(process, kProcessBasicInformation, basic, sizeof basic, &length) != 0)
        return false;
    process_memory memory(process, process_memory::route::native);
    return read_peb(memory, basic[1], peb);
}

ps_module* create_nt_module_cursor(uint32_t process_id) {
    NtHandle process = nt_open_process(process_id, kProcessQueryAndRead);
    peb_fields peb;
    if (!process || !nt_read_peb(process.get(), &peb)) return nullptr;
    auto* snapshot = new nt_module_snapshot;
    snapshot->m_process_id = process_id;
    snapshot->m_image_base = peb.image_base;
    process_memory memory(process.get(), process_memory::route::native);
    if (!read_loader_entries(memory, peb.loader_data, &snapshot->m_records)) snapshot->m_records.clear();
    sort_loader_entries(snapshot->m_records.data(), snapshot->m_records.size());
    return ps_module_cursor_over(snapshot);
}

ps_process* create_nt_process_cursor(nt_layout layout) {
    auto* snapshot = new nt_process_snapshot(layout);
    auto* cursor = new nt_process_cursor(snapshot);
    if (cursor->empty()) {
        cursor->destroy();
        return nullptr;
    }
    return cursor;
}

}  // namespace ps_detail
