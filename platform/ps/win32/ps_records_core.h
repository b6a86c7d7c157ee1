// The records the process library reads, parsed from bytes: the native
// system process information, the loader list of another process, the
// toolhelp records and the memory region codes. Every read is checked
// against what was actually obtained.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ps/win32/ps_win32_templates.h"

namespace ps_records {

// Little-endian reads; 0 when the field does not lie wholly inside [0, size).
uint16_t get_u16(const uint8_t* data, size_t size, size_t offset);
uint32_t get_u32(const uint8_t* data, size_t size, size_t offset);

// ---- Native system process information (class 5) ----

constexpr uint32_t kStatusLengthMismatch = 0xC0000004;
constexpr uint32_t kNtInitialSize = 0x8000;
constexpr uint32_t kNtGrowth = 0x8000;
// Beyond this the query is not believed: the snapshot stays empty.
constexpr uint32_t kNtMaximumSize = 64u << 20;

// The next buffer size after a length mismatch: the reported length when it
// is larger, else 32 KB more (a reported length equal to the current one
// would ask again for the same buffer for ever); 0 to give up.
uint32_t nt_next_buffer_size(uint32_t current, uint32_t reported);

// The filled part of the query's buffer.
struct nt_buffer {
    std::unique_ptr<uint8_t[]> data;
    uint32_t size = 0;
};
// The query: fills buffer (size bytes), sets *reported to the length it
// wrote or needs, returns the status.
using nt_query_fn = uint32_t (*)(void* context, uint8_t* buffer, uint32_t size, uint32_t* reported);
// Asks with 32 KB, then again with a larger buffer while the status is a
// length mismatch. Any other failure, or a buffer that cannot be had, gives
// an empty result.
nt_buffer nt_query_growing(nt_query_fn query, void* context);

enum class nt_layout { nt4, nt5 };   // NT 4; 2000 and XP
nt_layout nt_layout_for_major(uint32_t major_version);
uint32_t nt_thread_table_offset(nt_layout layout);   // 136 or 184
constexpr uint32_t kNtThreadEntrySize = 64;
constexpr uint32_t kNtPredecessorField = 0x50;
constexpr uint32_t kNtClearedField = 0x54;

// Counts the entries of a filled buffer by their next-entry offsets and
// stores each one's predecessor offset at 0x50 (0 for the first, whose 0x54
// is cleared too). An entry that is too short for its fixed part, or whose
// next offset leaves the buffer or points back, ends the list: its next
// offset is set to 0, so that later walks stay inside the buffer.
uint32_t nt_link_entries(uint8_t* buffer, uint32_t size, nt_layout layout);

struct nt_process_fields {
    uint32_t next = 0;            // next-entry offset
    uint32_t predecessor = 0;     // offset of the previous entry
    uint32_t id = 0;
    uint32_t parent_id = 0;
    int32_t base_priority = 0;
    uint32_t thread_count = 0;    // as reported
    uint32_t threads_offset = 0;  // offset of the first thread entry in the buffer
    uint32_t threads_present = 0; // thread entries that lie inside the entry
};
nt_process_fields nt_read_process(const uint8_t* buffer, uint32_t size, uint32_t offset, nt_layout layout);

enum class nt_name { image, system_process, unreadable };
// The image name of the entry at offset. Its buffer pointer is an address in
// the caller's memory: `buffer_address` is where the buffer itself lies.
// No buffer: the idle process ("[System Process]"); a name outside the
// buffer is unreadable.
nt_name nt_image_name(const uint8_t* buffer, uint32_t size, uint32_t buffer_address, uint32_t offset,
                      std::u16string* name);
constexpr const char* kSystemProcessName = "[System Process]";

struct nt_thread_entry {
    uint8_t bytes[kNtThreadEntrySize];
};
struct nt_thread_fields {
    uint32_t start_address = 0;
    uint32_t owner_id = 0;
    uint32_t id = 0;
    int32_t priority = 0;
    int32_t base_priority = 0;
};
nt_thread_fields nt_read_thread(const nt_thread_entry& entry);

// ---- Another process's loader data, read through a memory reader ----

class remote_memory {
public:
    // True only when all `size` bytes at address were read.
    virtual bool read(uint32_t address, void* out, uint32_t size) = 0;

protected:
    ~remote_memory() = default;
};

constexpr uint32_t kPebReadSize = 472;
constexpr uint32_t kLoaderDataReadSize = 24;
constexpr uint32_t kLoaderEntrySize = 72;
constexpr size_t kLoaderBlock = 64;
// A list that does not come back to its head is cut here.
constexpr size_t kLoaderMaximumEntries = 16384;

struct peb_fields {
    uint32_t image_base = 0;
    uint32_t loader_data = 0;
};
bool read_peb(remote_memory& memory, uint32_t peb_address, peb_fields* fields);

struct ldr_entry {
    uint8_t bytes[kLoaderEntrySize];
};
uint32_t ldr_base(const ldr_entry& entry);
uint32_t ldr_size(const ldr_entry& entry);

// The in-memory-order module list from the loader data, in list order. A
// failed read ends it (that entry dropped), as does the list head (an entry
// whose forward link is null or the first link). False when the growth of
// the array failed (the array is then empty).
bool read_loader_entries(remote_memory& memory, uint32_t loader_data, ps_block_array<ldr_entry>* entries);
// The first entry of the walk whose base is image_base; false when none.
bool find_loader_entry(remote_memory& memory, uint32_t loader_data, uint32_t image_base, ldr_entry* found);
// Sorted by base address, ascending.
void sort_loader_entries(ldr_entry* entries, size_t count);

enum class ldr_name { full, base };
// A module's name read from the remote process (maximum length bytes, cut
// at the length and at a NUL); false when the read fails.
bool read_loader_name(remote_memory& memory, const ldr_entry& entry, ldr_name which, std::u16string* name);

// ---- Toolhelp records ----

struct th_process_record {
    uint8_t bytes[296];
};
struct th_thread_record {
    uint8_t bytes[28];
};
struct th_module_record {
    uint8_t bytes[548];
};
constexpr size_t kThProcessBlock = 32;
constexpr size_t kThThreadBlock = 128;
constexpr size_t kThModuleBlock = 64;

struct th_process_fields {
    uint32_t id, module_id, thread_count, parent_id;
    int32_t base_priority;
};
th_process_fields th_read_process(const th_process_record& record);
// The executable field up to its NUL (or the field's end).
std::string th_exe_field(const th_process_record& record);
// The part after the last backslash (the whole field without one).
std::string th_process_name(const std::string& exe_field);
// 9x puts the full path into the field; NT only the file name.
bool th_exe_field_is_path(const std::string& exe_field);

struct th_thread_fields {
    uint32_t id, owner_id;
    int32_t base_priority, priority_delta;
};
th_thread_fields th_read_thread(const th_thread_record& record);

struct th_module_fields {
    uint32_t module_id, owner_id, base, size;
};
th_module_fields th_read_module(const th_module_record& record);
std::string th_module_name(const th_module_record& record);
std::string th_module_path(const th_module_record& record);
// The module that is the process's image: the first record when the
// process's module id is 0, else the one with that module id; count when none.
size_t th_main_module(const th_module_record* records, size_t count, uint32_t process_module_id);
void sort_module_records(th_module_record* records, size_t count);

// ---- Thread start addresses ----

// Start addresses below this are not believed (null page, system stubs).
constexpr uint32_t kLowestStartAddress = 0x100000;

// A value read from another process's memory: whether the read worked.
struct read_value {
    bool read = false;
    uint32_t value = 0;
};
// The native answer: the queried Win32 start address when it is believable,
// else the stack probe's, else the thread entry's own field.
uint32_t nt_choose_start_address(read_value queried, uint32_t probed, uint32_t entry_start);
// The stack probe: the main thread's slot (first thread of its process, main
// offset known) when it holds a believable address, else the slot of a
// created thread when it is not 0.
uint32_t probe_choose_start_address(bool first_thread, uint32_t main_offset, read_value main_slot,
                                    read_value thread_slot);

// ---- Memory regions ----

struct region_record {
    uint32_t base, size, protection, user_value;
};
constexpr size_t kRegionBlock = 64;
// Free, only reserved, inaccessible and guard regions are left out.
bool region_kept(uint32_t state, uint32_t protect);
// Bits: 1 readable, 2 writable, 4 executable, 8 part of a mapped image.
uint32_t region_protection_code(uint32_t protect, uint32_t type);

}  // namespace ps_records
