#include "ps/win32/ps_records_core.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

void ps_precondition_failed(const char* text) {
#ifndef NDEBUG
    std::fprintf(stderr, "precondition failed: %s\n", text);
    std::abort();
#else
    (void)text;
#endif
}

namespace ps_records {

namespace {

bool inside(size_t size, size_t offset, size_t length) { return offset <= size && length <= size - offset; }

int32_t get_i32(const uint8_t* data, size_t size, size_t offset) {
    return static_cast<int32_t>(get_u32(data, size, offset));
}

void put_u32(uint8_t* data, size_t size, size_t offset, uint32_t value) {
    if (!inside(size, offset, 4)) return;
    std::memcpy(data + offset, &value, 4);
}

template <size_t N>
uint32_t field32(const uint8_t (&bytes)[N], size_t offset) {
    return get_u32(bytes, N, offset);
}
template <size_t N>
uint16_t field16(const uint8_t (&bytes)[N], size_t offset) {
    return get_u16(bytes, N, offset);
}
template <size_t N>
std::string fixed_string(const uint8_t (&bytes)[N], size_t offset, size_t length) {
    if (!inside(N, offset, length)) return std::string();
    const char* begin = reinterpret_cast<const char*>(bytes + offset);
    return std::string(begin, std::find(begin, begin + length, '\0'));
}

std::u16string wide_text(const uint8_t* data, size_t bytes) {
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

// Native process entry fields.
constexpr uint32_t kNextOffset = 0x00, kThreadCount = 0x04, kImageLength = 0x38, kImageBuffer = 0x3C,
                   kBasePriority = 0x40, kProcessId = 0x44, kParentId = 0x48;
// Native thread entry fields.
constexpr uint32_t kThreadStart = 28, kThreadOwner = 32, kThreadId = 36, kThreadPriority = 40,
                   kThreadBasePriority = 44;
// Loader data and entries.
constexpr uint32_t kPebImageBase = 0x08, kPebLoaderData = 0x0C;
constexpr uint32_t kLoaderMemoryOrderList = 0x14;
constexpr uint32_t kEntryMemoryLinks = 8, kEntryBase = 24, kEntrySize = 32;
constexpr uint32_t kFullNameLength = 36, kFullNameMaximum = 38, kFullNameBuffer = 40;
constexpr uint32_t kBaseNameLength = 44, kBaseNameMaximum = 46, kBaseNameBuffer = 48;

// Follows the in-memory-order list; `visit` returns false to stop.
template <typename Visit>
void walk_loader_list(remote_memory& memory, uint32_t loader_data, Visit visit) {
    uint8_t data[kLoaderDataReadSize];
    if (!memory.read(loader_data, data, sizeof data)) return;
    const uint32_t head = loader_data + kLoaderMemoryOrderList;
    const uint32_t first = get_u32(data, sizeof data, kLoaderMemoryOrderList);
    if (first == 0 || first == head) return;
    uint32_t link = first;
    for (size_t n = 0; n < kLoaderMaximumEntries; ++n) {
        ldr_entry entry;
        if (!memory.read(link - kEntryMemoryLinks, entry.bytes, sizeof entry.bytes)) return;
        const uint32_t forward = field32(entry.bytes, kEntryMemoryLinks);
        if (forward == 0 || forward == first) return;   // the list head, not a module
        if (!visit(entry)) return;
        link = forward;
    }
}

}  // namespace

uint16_t get_u16(const uint8_t* data, size_t size, size_t offset) {
    if (!data || !inside(size, offset, 2)) return 0;
    return static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
}

uint32_t get_u32(const uint8_t* data, size_t size, size_t offset) {
    if (!data || !inside(size, offset, 4)) return 0;
    uint32_t value;
    std::memcpy(&value, data + offset, 4);
    return value;
}

uint32_t nt_next_buffer_size(uint32_t current, uint32_t reported) {
    uint64_t next = reported > current ? reported : static_cast<uint64_t>(current) + kNtGrowth;
    return next > kNtMaximumSize ? 0 : static_cast<uint32_t>(next);
}

nt_buffer nt_query_growing(nt_query_fn query, void* context) {
    nt_buffer result;
    uint32_t size = kNtInitialSize;
    for (;;) {
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]());
        if (!buffer) return result;
        uint32_t reported = 0;
        const uint32_t status = query(context, buffer.get(), size, &reported);
        if (status == 0) {
            result.data = std::move(buffer);
            result.size = reported != 0 && reported < size ? reported : size;
            return result;
        }
        if (status != kStatusLengthMismatch) return result;
        size = nt_next_buffer_size(size, reported);
        if (size == 0) return result;
    }
}

nt_layout nt_layout_for_major(uint32_t major_version) { return major_version < 5 ? nt_layout::nt4 : nt_layout::nt5; }

uint32_t nt_thread_table_offset(nt_layout layout) { return layout == nt_layout::nt4 ? 136 : 184; }

uint32_t nt_link_entries(uint8_t* buffer, uint32_t size, nt_layout layout) {
    const uint32_t fixed = nt_thread_table_offset(layout);
    if (!buffer || size < fixed) return 0;
    put_u32(buffer, size, kNtClearedField, 0);
    uint32_t count = 1, offset = 0, predecessor = 0;
    for (;;) {
        put_u32(buffer, size, offset + kNtPredecessorField, predecessor);
        const uint32_t next = get_u32(buffer, size, offset + kNextOffset);
        if (next == 0) break;
        if (next < fixed || !inside(size, static_cast<size_t>(offset) + next, fixed)) {
            put_u32(buffer, size, offset + kNextOffset, 0);
            break;
        }
        predecessor = offset;
        offset += next;
        ++count;
    }
    return count;
}

nt_process_fields nt_read_process(const uint8_t* buffer, uint32_t size, uint32_t offset, nt_layout layout) {
    nt_process_fields f;
    f.next = get_u32(buffer, size, offset + kNextOffset);
    f.predecessor = get_u32(buffer, size, offset + kNtPredecessorField);
    f.id = get_u32(buffer, size, offset + kProcessId);
    f.parent_id = get_u32(buffer, size, offset + kParentId);
    f.base_priority = get_i32(buffer, size, offset + kBasePriority);
    f.thread_count = get_u32(buffer, size, offset + kThreadCount);
    f.threads_offset = offset + nt_thread_table_offset(layout);
    uint64_t end = f.next ? static_cast<uint64_t>(offset) + f.next : size;
    if (end > size) end = size;
    const uint64_t room = end > f.threads_offset ? (end - f.threads_offset) / kNtThreadEntrySize : 0;
    f.threads_present = static_cast<uint32_t>(std::min<uint64_t>(f.thread_count, room));
    return f;
}

nt_name nt_image_name(const uint8_t* buffer, uint32_t size, uint32_t buffer_address, uint32_t offset,
                      std::u16string* name) {
    name->clear();
    const uint16_t length = get_u16(buffer, size, offset + kImageLength);
    const uint32_t address = get_u32(buffer, size, offset + kImageBuffer);
    if (!inside(size, offset, kImageBuffer + 4)) return nt_name::unreadable;
    if (address == 0) return nt_name::system_process;
    if (address < buffer_address || !inside(size, address - buffer_address, length)) return nt_name::unreadable;
    *name = wide_text(buffer + (address - buffer_address), length);
    return nt_name::image;
}

nt_thread_fields nt_read_thread(const nt_thread_entry& entry) {
    nt_thread_fields f;
    f.start_address = field32(entry.bytes, kThreadStart);
    f.owner_id = field32(entry.bytes, kThreadOwner);
    f.id = field32(entry.bytes, kThreadId);
    f.priority = static_cast<int32_t>(field32(entry.bytes, kThreadPriority));
    f.base_priority = static_cast<int32_t>(field32(entry.bytes, kThreadBasePriority));
    return f;
}

bool read_peb(remote_memory& memory, uint32_t peb_address, peb_fields* fields) {
    std::vector<uint8_t> peb(kPebReadSize);
    if (peb_address == 0 || !memory.read(peb_address, peb.data(), kPebReadSize)) return false;
    fields->image_base = get_u32(peb.data(), peb.size(), kPebImageBase);
    fields->loader_data = get_u32(peb.data(), peb.size(), kPebLoaderData);
    return true;
}

uint32_t ldr_base(const ldr_entry& entry) { return field32(entry.bytes, kEntryBase); }
uint32_t ldr_size(const ldr_entry& entry) { return field32(entry.bytes, kEntrySize); }

bool read_loader_entries(remote_memory& memory, uint32_t loader_data, ps_block_array<ldr_entry>* entries) {
    bool grown = true;
    walk_loader_list(memory, loader_data, [&](const ldr_entry& entry) {
        ldr_entry* slot = entries->append(kLoaderBlock);
        if (!slot) return grown = false;
        *slot = entry;
        return true;
    });
    return grown;
}

bool find_loader_entry(remote_memory& memory, uint32_t loader_data, uint32_t image_base, ldr_entry* found) {
    bool hit = false;
    walk_loader_list(memory, loader_data, [&](const ldr_entry& entry) {
        if (ldr_base(entry) != image_base) return true;
        *found = entry;
        hit = true;
        return false;
    });
    return hit;
}

void sort_loader_entries(ldr_entry* entries, size_t count) {
    if (!entries) return;
    std::stable_sort(entries, entries + count,
                     [](const ldr_entry& a, const ldr_entry& b) { return ldr_base(a) < ldr_base(b); });
}

bool read_loader_name(remote_memory& memory, const ldr_entry& entry, ldr_name which, std::u16string* name) {
    name->clear();
    const bool full = which == ldr_name::full;
    const uint16_t length = field16(entry.bytes, full ? kFullNameLength : kBaseNameLength);
    const uint16_t maximum = field16(entry.bytes, full ? kFullNameMaximum : kBaseNameMaximum);
    const uint32_t address = field32(entry.bytes, full ? kFullNameBuffer : kBaseNameBuffer);
    if (address == 0 || maximum == 0) return false;
    std::vector<uint8_t> bytes(maximum);
    if (!memory.read(address, bytes.data(), maximum)) return false;
    *name = wide_text(bytes.data(), std::min(length, maximum));
    return true;
}

th_process_fields th_read_process(const th_process_record& r) {
    return {field32(r.bytes, 8), field32(r.bytes, 16), field32(r.bytes, 20), field32(r.bytes, 24),
            static_cast<int32_t>(field32(r.bytes, 28))};
}

std::string th_exe_field(const th_process_record& r) { return fixed_string(r.bytes, 36, 260); }

std::string th_process_name(const std::string& exe_field) {
    const size_t slash = exe_field.rfind('\\');
    return slash == std::string::npos ? exe_field : exe_field.substr(slash + 1);
}

bool th_exe_field_is_path(const std::string& exe_field) { return exe_field.find('\\') != std::string::npos; }

th_thread_fields th_read_thread(const th_thread_record& r) {
    return {field32(r.bytes, 8), field32(r.bytes, 12), static_cast<int32_t>(field32(r.bytes, 16)),
            static_cast<int32_t>(field32(r.bytes, 20))};
}

th_module_fields th_read_module(const th_module_record& r) {
    return {field32(r.bytes, 4), field32(r.bytes, 8), field32(r.bytes, 20), field32(r.bytes, 24)};
}

std::string th_module_name(const th_module_record& r) { return fixed_string(r.bytes, 32, 256); }
std::string th_module_path(const th_module_record& r) { return fixed_string(r.bytes, 288, 260); }

size_t th_main_module(const th_module_record* records, size_t count, uint32_t process_module_id) {
    if (!records || count == 0) return count;
    if (process_module_id == 0) return 0;
    for (size_t i = 0; i < count; ++i)
        if (th_read_module(records[i]).module_id == process_module_id) return i;
    return count;
}

void sort_module_records(th_module_record* records, size_t count) {
    if (!records) return;
    std::stable_sort(records, records + count, [](const th_module_record& a, const th_module_record& b) {
        return th_read_module(a).base < th_read_module(b).base;
    });
}

uint32_t nt_choose_start_address(read_value queried, uint32_t probed, uint32_t entry_start) {
    if (queried.read && queried.value >= kLowestStartAddress) return queried.value;
    return probed ? probed : entry_start;
}

uint32_t probe_choose_start_address(bool first_thread, uint32_t main_offset, read_value main_slot,
                                    read_value thread_slot) {
    if (first_thread && main_offset != 0 && main_slot.read && main_slot.value >= kLowestStartAddress)
        return main_slot.value;
    return thread_slot.read ? thread_slot.value : 0;
}

bool region_kept(uint32_t state, uint32_t protect) {
    constexpr uint32_t kFree = 0x10000, kReserved = 0x2000, kNoAccess = 0x01, kGuard = 0x100;
    return state != kFree && state != kReserved && !(protect & kNoAccess) && !(protect & kGuard);
}

uint32_t region_protection_code(uint32_t protect, uint32_t type) {
    uint32_t code = 0;
    switch (protect & 0xFE) {
    case 0x02: code = 1; break;
    case 0x04:
    case 0x08: code = 3; break;
    case 0x10: code = 4; break;
    case 0x20: code = 5; break;
    case 0x40:
    case 0x80: code = 7; break;
    default: code = 0; break;
    }
    constexpr uint32_t kImage = 0x1000000;
    return type == kImage ? code + 8 : code;
}

}  // namespace ps_records
