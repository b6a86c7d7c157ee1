// What both back-ends share: memory regions, another process's memory, stack
// records and thread start addresses.
#include "ps/win32/ps_win32_internal.h"

#include <cstring>
#include <string>

using namespace ps_records;

uint32_t thread_start_offset = 0;
uint32_t main_start_offset = 0;

namespace ps_detail {

namespace {

class region_snapshot final : public ps_array_snapshot<region_record> {
public:
    explicit region_snapshot(uint32_t process_id) : m_process_id(process_id) {
        BoundHandle process(dyn_OpenProcess(kProcessQuery, FALSE, process_id));
        if (!process) return;
        uint32_t address = 0;
        do {
            MEMORY_BASIC_INFORMATION info;
            static_assert(sizeof info == 28);
            if (dyn_VirtualQueryEx(process.get(), reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)), &info,
                                   sizeof info) != sizeof info)
                break;
            const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info.BaseAddress));
            const uint32_t size = static_cast<uint32_t>(info.RegionSize);
            const uint64_t end = static_cast<uint64_t>(base) + size;
            if (size == 0 || end <= address) break;   // no progress: stop rather than loop
            if (region_kept(info.State, info.Protect)) {
                region_record* slot = m_records.append(kRegionBlock);
                if (!slot) return;
                *slot = {base, size, region_protection_code(info.Protect, info.Type), 0};
            }
            address = static_cast<uint32_t>(end);   // 0 after the top of the address space
        } while (address != 0);
    }
    const uint32_t m_process_id;
};

class region_cursor final : public ps_cursor<ps_region, region_snapshot, region_record> {
public:
    explicit region_cursor(region_snapshot* snapshot)
        : ps_cursor(snapshot, snapshot->m_records.data(), snapshot->m_records.size()) {}
    ps_region* clone() const override { return new region_cursor(m_snapshot); }
    uint32_t owner_id() override { return m_snapshot->m_process_id; }
    uint32_t protection() override { return record().protection; }
    uint32_t base_address() override { return record().base; }
    uint32_t end_address() override { return record().base + record().size - 1; }
    bool find_by_address(uint32_t address) override {
        const size_t found = ps_find_containing(m_array, m_array_size, address,
                                                [](const region_record& r, uint32_t* base, uint32_t* size) {
                                                    *base = r.base;
                                                    *size = r.size;
                                                });
        if (found == m_array_size) return false;
        seek(found);
        return true;
    }
    uint32_t user_value() override { return record().user_value; }
    uint32_t set_user_value(uint32_t value) override {
        if (!check()) return 0;
        const uint32_t old = record().user_value;
        record().user_value = value;
        return old;
    }
};

// The probe thread's own stack base, from its thread information block.
uint32_t own_stack_base() {
    uint32_t base;
    // fs:[4] is the stack base of the thread information block on every family.
    __asm__ __volatile__("movl %%fs:4, %0" : "=r"(base));
    return base;
}

// The distance below the stack top (base - 1) of the highest slot from 4
// bytes below the base down to `down_to` that holds value; 0 when none does.
uint32_t find_on_own_stack(uint32_t base, uint32_t down_to, uint32_t value) {
    for (uint32_t slot = base - 4; slot >= down_to && slot < base; --slot) {
        uint32_t held;
        std::memcpy(&held, reinterpret_cast<const void*>(static_cast<uintptr_t>(slot)), sizeof held);
        if (held == value) return base - slot - 1;
    }
    return 0;
}

DWORD WINAPI learn_thread_offset(LPVOID result) {
    const uint32_t frame = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    const uint32_t routine = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&learn_thread_offset));
    *static_cast<uint32_t*>(result) = find_on_own_stack(own_stack_base(), frame, routine);
    return 0;
}

uint32_t own_entry_point() {
    const auto* image = reinterpret_cast<const uint8_t*>(dyn_GetModuleHandleA(nullptr));
    if (!image) return 0;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image + dos->e_lfanew);
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(image)) + nt->OptionalHeader.AddressOfEntryPoint;
}

read_value read_u32(HANDLE process, uint32_t address) {
    read_value result;
    process_memory memory(process);
    result.read = memory.read(address, &result.value, sizeof result.value);
    return result;
}

}  // namespace

bool process_memory::read(uint32_t address, void* out, uint32_t size) {
    SIZE_T done = 0;
    void* from = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
    if (m_route == route::native) return dyn_NtReadVirtualMemory(m_process, from, out, size, &done) == 0 && done == size;
    return dyn_ReadProcessMemory(m_process, from, out, size, &done) && done == size;
}

std::string to_ansi(const std::u16string& text) {
    if (text.empty()) return std::string();
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, "?", nullptr);
    if (needed <= 0) return std::string();
    std::string ansi(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, length, &ansi[0], needed, "?", nullptr);
    return ansi;
}

bool is_nt_family() {
    static const bool nt = [] {
        OSVERSIONINFOA version = {};
        version.dwOSVersionInfoSize = sizeof version;
        return dyn_GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    }();
    return nt;
}

void learn_stack_offsets() {
    uint32_t found = 0;
    HANDLE thread = CreateThread(nullptr, 0, &learn_thread_offset, &found, 0, nullptr);
    if (thread) {
        BoundHandle owner(thread);
        dyn_WaitForSingleObject(thread, INFINITE);
    }
    thread_start_offset = found;
    const uint32_t base = own_stack_base();
    main_start_offset = find_on_own_stack(base, base - 256, own_entry_point());
}

bool read_stack_info(uint32_t process_id, uint32_t thread_id, ps_stack_info* info) {
    BoundHandle process(dyn_OpenProcess(kProcessQueryAndRead, FALSE, process_id));
    BoundHandle thread(dyn_OpenThread(kThreadContextAndQuery, FALSE, thread_id));
    if (!process || !thread) return false;
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_SEGMENTS;
    if (!dyn_GetThreadContext(thread.get(), &context)) return false;
    uint32_t teb = 0;
    if (is_nt_family()) {
        // The FS selector of another thread resolves to the caller's own block
        // on some systems; the native query names the thread's own.
        uint32_t basic[7] = {};   // exit status, environment block, client id, affinity, priorities
        static_assert(sizeof basic == 28);
        if (dyn_NtQueryInformationThread(thread.get(), kThreadBasicInformation, basic, sizeof basic, nullptr) != 0)
            return false;
        teb = basic[1];
    } else {
        LDT_ENTRY entry = {};
        if (!dyn_GetThreadSelectorEntry(thread.get(), context.SegFs, &entry)) return false;
        teb = entry.BaseLow | (entry.HighWord.Bytes.BaseMid << 16) | (entry.HighWord.Bytes.BaseHi << 24);
    }
    uint8_t block[28];
    process_memory memory(process.get());
    if (teb == 0 || !memory.read(teb, block, sizeof block)) return false;
    const uint32_t stack_base = get_u32(block, sizeof block, 4), stack_limit = get_u32(block, sizeof block, 8);
    *info = {stack_limit, static_cast<uint32_t>(context.Esp), stack_base - 1, teb};
    return true;
}

uint32_t probe_start_address(uint32_t process_id, uint32_t thread_id, bool first_thread) {
    if (thread_start_offset == 0) return 0;
    BoundHandle process(dyn_OpenProcess(kProcessQueryAndRead, FALSE, process_id));
    ps_stack_info stack;
    if (!process || !read_stack_info(process_id, thread_id, &stack)) return 0;
    const read_value main_slot = first_thread && main_start_offset != 0
                                     ? read_u32(process.get(), stack.stack_top - main_start_offset)
                                     : read_value();
    return probe_choose_start_address(first_thread, main_start_offset, main_slot,
                                      read_u32(process.get(), stack.stack_top - thread_start_offset));
}

ps_region* create_region_cursor(uint32_t process_id) {
    auto* snapshot = new region_snapshot(process_id);
    auto* cursor = new region_cursor(snapshot);
    if (cursor->empty()) {
        cursor->destroy();
        return nullptr;
    }
    return cursor;
}

}  // namespace ps_detail
