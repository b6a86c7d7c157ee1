// The toolhelp back-end: processes, the threads of a process and the modules
// of a process from toolhelp snapshots.
#include <string>

#include "ps/win32/ps_win32_internal.h"

using namespace ps_records;

static_assert(sizeof(PROCESSENTRY32) == sizeof(th_process_record));
static_assert(sizeof(THREADENTRY32) == sizeof(th_thread_record));
static_assert(sizeof(MODULEENTRY32) == sizeof(th_module_record));

namespace ps_detail {

namespace {

constexpr DWORD kSnapshotProcesses = 2, kSnapshotThreads = 4, kSnapshotModules = 8;

// Reads every record of a toolhelp snapshot into the array, `keep` deciding
// which stay. A failed growth empties the array.
template <typename Record, typename Entry, typename First, typename Next, typename Keep>
void read_records(DWORD kind, DWORD process_id, const First& first, const Next& next, size_t block,
                  ps_block_array<Record>* records, Keep keep) {
    BoundSnapshot snapshot(dyn_CreateToolhelp32Snapshot(kind, process_id));
    if (!snapshot) return;
    for (bool more = true, started = false; more; started = true) {
        Record* slot = records->append(block);
        if (!slot) return;
        auto* entry = reinterpret_cast<Entry*>(slot);
        entry->dwSize = sizeof(Record);
        more = started ? next(snapshot.get(), entry) : first(snapshot.get(), entry);
        if (!more || !keep(*slot)) records->drop_last();
    }
}

class th_module_snapshot final : public ps_array_snapshot<th_module_record> {
public:
    using record_type = th_module_record;
    th_module_snapshot(uint32_t process_id, uint32_t process_module_id) : m_process_id(process_id) {
        read_records<th_module_record, MODULEENTRY32>(
            kSnapshotModules, process_id, dyn_Module32First, dyn_Module32Next, kThModuleBlock,
            &m_records, [](const th_module_record&) { return true; });
        const size_t main = th_main_module(m_records.data(), m_records.size(), process_module_id);
        if (main < m_records.size()) {
            m_image_base = th_read_module(m_records.data()[main]).base;
            m_main_path = th_module_path(m_records.data()[main]);
            m_has_main = true;
        }
        sort_module_records(m_records.data(), m_records.size());
    }
    static uint32_t base(const th_module_record& record) { return th_read_module(record).base; }
    static uint32_t size(const th_module_record& record) { return th_read_module(record).size; }
    // The record holds both names.
    bool names(const th_module_record& record, std::string* name, std::string* path) const {
        *name = th_module_name(record);
        *path = th_module_path(record);
        return true;
    }
    const uint32_t m_process_id;
    uint32_t m_image_base = 0;
    bool m_has_main = false;
    std::string m_main_path;
};

class th_thread_snapshot final : public ps_array_snapshot<th_thread_record> {
public:
    explicit th_thread_snapshot(uint32_t process_id) {
        read_records<th_thread_record, THREADENTRY32>(
            kSnapshotThreads, process_id, dyn_Thread32First, dyn_Thread32Next, kThThreadBlock,
            &m_records, [process_id](const th_thread_record& r) { return th_read_thread(r).owner_id == process_id; });
    }
};

class th_thread_cursor final : public ps_thread_cursor<th_thread_snapshot, th_thread_record> {
public:
    explicit th_thread_cursor(th_thread_snapshot* snapshot)
        : ps_thread_cursor(snapshot, snapshot->m_records.data(), snapshot->m_records.size()) {}
    ps_thread* clone() const override { return new th_thread_cursor(m_snapshot); }
    uint32_t id() override { return th_read_thread(record()).id; }
    uint32_t owner_id() override { return th_read_thread(record()).owner_id; }
    int32_t base_priority() override { return th_read_thread(record()).base_priority; }
    int32_t priority_delta() override { return th_read_thread(record()).priority_delta; }
    uint32_t start_address() override {
        const th_thread_fields f = th_read_thread(record());
        return probe_start_address(f.owner_id, f.id, at_first());
    }
};

class th_process_snapshot final : public ps_array_snapshot<th_process_record> {
public:
    th_process_snapshot() {
        read_records<th_process_record, PROCESSENTRY32>(kSnapshotProcesses, 0, dyn_Process32First,
                                                        dyn_Process32Next, kThProcessBlock, &m_records,
                                                        [](const th_process_record&) { return true; });
    }
};

class th_process_cursor final : public ps_cursor<ps_process, th_process_snapshot, th_process_record> {
public:
    explicit th_process_cursor(th_process_snapshot* snapshot)
        : ps_cursor(snapshot, snapshot->m_records.data(), snapshot->m_records.size()) {}
    ps_process* clone() const override { return new th_process_cursor(m_snapshot); }

    uint32_t id() override { return th_read_process(record()).id; }
    uint32_t parent_id() override { return th_read_process(record()).parent_id; }
    int32_t base_priority() override { return th_read_process(record()).base_priority; }
    uint32_t thread_count() override { return th_read_process(record()).thread_count; }
    const char* name() override {
        if (m_name_index != m_index) {
            m_name_index = m_index;
            m_name = th_process_name(th_exe_field(record()));
        }
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
    ps_module* modules() override {
        if (!check()) return nullptr;
        const th_process_fields f = th_read_process(record());
        return create_toolhelp_module_cursor(f.id, f.module_id);
    }
    ps_thread* threads() override {
        if (!check()) return nullptr;
        auto* snapshot = new th_thread_snapshot(id());
        if (snapshot->m_records.size() == 0) {
            ps_discard_snapshot(snapshot);
            return nullptr;
        }
        return new th_thread_cursor(snapshot);
    }
    bool terminate() override { return check() && terminate_process_by_id(id()); }

private:
    bool read_path() {
        m_path = th_exe_field(record());
        if (th_exe_field_is_path(m_path)) return true;
        // NT gives the file name only: the main module has the path.
        const th_process_fields f = th_read_process(record());
        auto* modules = new th_module_snapshot(f.id, f.module_id);
        const bool found = modules->m_has_main;
        m_path = found ? modules->m_main_path : std::string();
        ps_discard_snapshot(modules);
        return found;
    }

    static constexpr size_t kNone = static_cast<size_t>(-1);
    size_t m_name_index = kNone, m_path_index = kNone;
    bool m_path_found = false;
    std::string m_name, m_path;
};

}  // namespace

ps_module* create_toolhelp_module_cursor(uint32_t process_id, uint32_t process_module_id) {
    return ps_module_cursor_over(new th_module_snapshot(process_id, process_module_id));
}

ps_process* create_toolhelp_process_cursor() {
    auto* snapshot = new th_process_snapshot;
    if (snapshot->m_records.size() == 0) {
        ps_discard_snapshot(snapshot);
        return nullptr;
    }
    return new th_process_cursor(snapshot);
}

}  // namespace ps_detail
