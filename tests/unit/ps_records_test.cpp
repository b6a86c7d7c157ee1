// The process library's records from synthetic bytes: the native process
// information in both layouts, the growth of its buffer, the loader list of
// another process, the toolhelp rules, region codes and the cursor machinery.
#include "ps/win32/ps_records_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace ps_records;

namespace {

using Bytes = std::vector<uint8_t>;

// Into a byte vector or a record's byte array.
template <typename B> void Put32(B& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
template <typename B> void Put16(B& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
uint32_t Get32(const Bytes& b, size_t at) { return get_u32(b.data(), b.size(), at); }

TEST(NtBuffer, GrowsToTheReportedLengthOrBy32K) {
    const struct { uint32_t current, reported, expected; } cases[] = {
        {0x8000, 0x12345, 0x12345},   // larger report: taken as it is
        {0x8000, 0x100, 0x10000},     // smaller: 32 KB more
        {0x8000, 0, 0x10000},
        {0x8000, 0x8000, 0x10000},    // equal: asking again would never end
        {kNtMaximumSize - 0x4000, 0, 0},   // past the limit: give up
        {0x8000, 0xFFFFFFFF, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nt_next_buffer_size(c.current, c.reported), c.expected) << std::hex << c.current << " " << c.reported;
}

struct FakeQuery {
    std::vector<std::pair<uint32_t, uint32_t>> answers;   // status, reported length
    std::vector<uint32_t> sizes;                          // buffer sizes asked with
    static uint32_t Call(void* self, uint8_t* buffer, uint32_t size, uint32_t* reported) {
        auto* q = static_cast<FakeQuery*>(self);
        const auto [status, length] = q->answers[q->sizes.size()];
        q->sizes.push_back(size);
        if (status == 0) std::memset(buffer, 0xAB, size);   // ASan sees a write past the buffer
        *reported = length;
        return status;
    }
};

TEST(NtBuffer, QueryIsRepeatedWhileTheLengthMismatches) {
    FakeQuery q{{{kStatusLengthMismatch, 0x9000}, {kStatusLengthMismatch, 0x10}, {0, 0xA000}}, {}};
    nt_buffer b = nt_query_growing(&FakeQuery::Call, &q);
    EXPECT_EQ(q.sizes, (std::vector<uint32_t>{0x8000, 0x9000, 0x11000}));
    ASSERT_NE(b.data, nullptr);
    EXPECT_EQ(b.size, 0xA000u);   // the length written, not the whole buffer

    FakeQuery failing{{{kStatusLengthMismatch, 0x9000}, {0xC0000022, 0}}, {}};
    nt_buffer none = nt_query_growing(&FakeQuery::Call, &failing);
    EXPECT_EQ(none.data, nullptr);
    EXPECT_EQ(none.size, 0u);
}

// A system process information buffer in the given layout, placed (for the
// name pointers) at kAddress.
constexpr uint32_t kAddress = 0x00A10000;
struct SyntheticProcess {
    uint32_t id, parent;
    std::u16string name;   // empty: no name buffer (the idle process)
    std::vector<uint32_t> thread_ids;
};

Bytes MakeProcessBuffer(const std::vector<SyntheticProcess>& processes, nt_layout layout) {
    const uint32_t table = nt_thread_table_offset(layout);
    Bytes b;
    std::vector<size_t> starts;
    for (const auto& p : processes) {
        const size_t at = b.size();
        starts.push_back(at);
        b.resize(at + table + 64 * p.thread_ids.size());
        Put32(b, at + 0x04, static_cast<uint32_t>(p.thread_ids.size()));
        Put32(b, at + 0x40, 8);
        Put32(b, at + 0x44, p.id);
        Put32(b, at + 0x48, p.parent);
        Put32(b, at + 0x50, 0xEEEEEEEE);   // the session field, overwritten by the links
        Put32(b, at + 0x54, 0xEEEEEEEE);
        for (size_t t = 0; t < p.thread_ids.size(); ++t) {
            const size_t e = at + table + 64 * t;
            Put32(b, e + 28, 0x401000 + static_cast<uint32_t>(t));
            Put32(b, e + 32, p.id);
            Put32(b, e + 36, p.thread_ids[t]);
            Put32(b, e + 40, 10);
            Put32(b, e + 44, 8);
        }
        if (!p.name.empty()) {
            const size_t text = b.size();
            b.resize(text + 2 * p.name.size() + 2);
            for (size_t i = 0; i < p.name.size(); ++i) Put16(b, text + 2 * i, p.name[i]);
            Put16(b, at + 0x38, static_cast<uint16_t>(2 * p.name.size()));
            Put16(b, at + 0x3A, static_cast<uint16_t>(2 * p.name.size() + 2));
            Put32(b, at + 0x3C, kAddress + static_cast<uint32_t>(text));
        }
        while (b.size() % 8) b.push_back(0);
    }
    for (size_t i = 0; i + 1 < starts.size(); ++i)
        Put32(b, starts[i], static_cast<uint32_t>(starts[i + 1] - starts[i]));
    return b;
}

const std::vector<SyntheticProcess> kProcesses = {
    {0, 0, u"", {0}},
    {8, 0, u"System", {12, 16}},
    {400, 8, u"explorer.exe", {404, 408, 412}},
};

class NtLayouts : public ::testing::TestWithParam<nt_layout> {};

TEST_P(NtLayouts, EntriesAreLinkedAndReadInTheirLayout) {
    const nt_layout layout = GetParam();
    EXPECT_EQ(nt_layout_for_major(layout == nt_layout::nt4 ? 4 : 5), layout);
    Bytes b = MakeProcessBuffer(kProcesses, layout);
    const uint32_t size = static_cast<uint32_t>(b.size());
    ASSERT_EQ(nt_link_entries(b.data(), size, layout), 3u);
    EXPECT_EQ(Get32(b, 0x54), 0u);   // the first entry's field is cleared
    uint32_t offset = 0, previous = 0;
    for (size_t i = 0; i < kProcesses.size(); ++i) {
        const nt_process_fields f = nt_read_process(b.data(), size, offset, layout);
        EXPECT_EQ(f.id, kProcesses[i].id);
        EXPECT_EQ(f.parent_id, kProcesses[i].parent);
        EXPECT_EQ(f.base_priority, 8);
        EXPECT_EQ(f.predecessor, previous);
        ASSERT_EQ(f.threads_present, kProcesses[i].thread_ids.size());
        EXPECT_EQ(f.threads_offset, offset + (layout == nt_layout::nt4 ? 136u : 184u));
        for (size_t t = 0; t < f.threads_present; ++t) {
            nt_thread_entry entry;
            std::memcpy(entry.bytes, &b[f.threads_offset + 64 * t], 64);
            const nt_thread_fields tf = nt_read_thread(entry);
            EXPECT_EQ(tf.id, kProcesses[i].thread_ids[t]);
            EXPECT_EQ(tf.owner_id, kProcesses[i].id);
            EXPECT_EQ(tf.start_address, 0x401000 + t);
            EXPECT_EQ(tf.priority - tf.base_priority, 2);
        }
        std::u16string name;
        const nt_name kind = nt_image_name(b.data(), size, kAddress, offset, &name);
        if (kProcesses[i].name.empty()) {
            EXPECT_EQ(kind, nt_name::system_process);
        } else {
            EXPECT_EQ(kind, nt_name::image);
            EXPECT_EQ(name, kProcesses[i].name);
        }
        previous = offset;
        offset += f.next;
    }
    EXPECT_EQ(nt_read_process(b.data(), size, previous, layout).next, 0u);
}

INSTANTIATE_TEST_SUITE_P(Nt4And2000, NtLayouts, ::testing::Values(nt_layout::nt4, nt_layout::nt5));

TEST(NtProcessInformation, BrokenEntriesEndTheListInsideTheBuffer) {
    Bytes b = MakeProcessBuffer(kProcesses, nt_layout::nt5);
    const uint32_t second = Get32(b, 0);
    // The second entry's next offset leaves the buffer: the list ends there.
    Put32(b, second, static_cast<uint32_t>(b.size()));
    EXPECT_EQ(nt_link_entries(b.data(), static_cast<uint32_t>(b.size()), nt_layout::nt5), 2u);
    EXPECT_EQ(Get32(b, second), 0u);
    // A next offset shorter than an entry's fixed part ends it too.
    Bytes c = MakeProcessBuffer(kProcesses, nt_layout::nt5);
    Put32(c, 0, 16);
    EXPECT_EQ(nt_link_entries(c.data(), static_cast<uint32_t>(c.size()), nt_layout::nt5), 1u);
    // A buffer shorter than one entry has none.
    EXPECT_EQ(nt_link_entries(c.data(), 100, nt_layout::nt5), 0u);
    EXPECT_EQ(nt_link_entries(nullptr, 0, nt_layout::nt5), 0u);
}

TEST(NtProcessInformation, ThreadsAndNamesAreBoundedByTheBuffer) {
    Bytes b = MakeProcessBuffer({{400, 8, u"a.exe", {1, 2}}}, nt_layout::nt4);
    Put32(b, 0x04, 1000);   // more threads claimed than the entry holds
    const uint32_t size = static_cast<uint32_t>(b.size());
    ASSERT_EQ(nt_link_entries(b.data(), size, nt_layout::nt4), 1u);
    nt_process_fields f = nt_read_process(b.data(), size, 0, nt_layout::nt4);
    EXPECT_EQ(f.thread_count, 1000u);
    EXPECT_EQ(f.threads_present, 2u);

    std::u16string name;
    Put32(b, 0x3C, kAddress - 2);   // before the buffer
    EXPECT_EQ(nt_image_name(b.data(), size, kAddress, 0, &name), nt_name::unreadable);
    Put32(b, 0x3C, kAddress + size - 4);   // runs past its end
    Put16(b, 0x38, 10);
    EXPECT_EQ(nt_image_name(b.data(), size, kAddress, 0, &name), nt_name::unreadable);
    EXPECT_TRUE(name.empty());
}

// Another process's memory: pages of bytes at addresses.
class FakeMemory final : public remote_memory {
public:
    bool read(uint32_t address, void* out, uint32_t size) override {
        for (const auto& [base, bytes] : blocks)
            if (address >= base && address - base <= bytes.size() && size <= bytes.size() - (address - base)) {
                std::memcpy(out, bytes.data() + (address - base), size);
                return true;
            }
        return false;
    }
    std::map<uint32_t, Bytes> blocks;
};

constexpr uint32_t kPeb = 0x7FFD0000, kLdr = 0x00250000, kImage = 0x00400000;

struct Module {
    uint32_t entry, base, size;
    std::u16string full, name;
};

// A PEB, loader data and the modules linked in memory order (as given).
FakeMemory MakeProcess(const std::vector<Module>& modules) {
    FakeMemory m;
    Bytes peb(472);
    Put32(peb, 0x08, kImage);
    Put32(peb, 0x0C, kLdr);
    m.blocks[kPeb] = peb;
    Bytes ldr(0x30);
    const uint32_t head = kLdr + 0x14;
    Put32(ldr, 0x14, modules.empty() ? head : modules.front().entry + 8);
    m.blocks[kLdr] = ldr;
    for (size_t i = 0; i < modules.size(); ++i) {
        const Module& mod = modules[i];
        Bytes e(72 + 512);
        Put32(e, 8, i + 1 < modules.size() ? modules[i + 1].entry + 8 : head);
        Put32(e, 24, mod.base);
        Put32(e, 32, mod.size);
        auto put_name = [&](const std::u16string& text, size_t field, size_t at) {
            Put16(e, field, static_cast<uint16_t>(2 * text.size()));
            Put16(e, field + 2, static_cast<uint16_t>(2 * text.size() + 2));
            Put32(e, field + 4, mod.entry + static_cast<uint32_t>(at));
            for (size_t c = 0; c < text.size(); ++c) Put16(e, at + 2 * c, text[c]);
        };
        put_name(mod.full, 36, 72);
        put_name(mod.name, 44, 72 + 300);
        m.blocks[mod.entry] = e;
    }
    return m;
}

const std::vector<Module> kModules = {
    {0x00251000, kImage, 0x5000, u"C:\\app\\app.exe", u"app.exe"},
    {0x00252000, 0x7C900000, 0xB0000, u"C:\\WINDOWS\\system32\\ntdll.dll", u"ntdll.dll"},
    {0x00253000, 0x7C800000, 0xF4000, u"C:\\WINDOWS\\system32\\kernel32.dll", u"kernel32.dll"},
};

TEST(LoaderList, ModulesAreReadUntilTheListHeadAndSortedByBase) {
    FakeMemory m = MakeProcess(kModules);
    peb_fields peb;
    ASSERT_TRUE(read_peb(m, kPeb, &peb));
    EXPECT_EQ(peb.image_base, kImage);
    EXPECT_EQ(peb.loader_data, kLdr);
    ps_block_array<ldr_entry> entries;
    ASSERT_TRUE(read_loader_entries(m, kLdr, &entries));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries.capacity(), kLoaderBlock);
    sort_loader_entries(entries.data(), entries.size());
    const uint32_t bases[] = {kImage, 0x7C800000, 0x7C900000};
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(ldr_base(entries.data()[i]), bases[i]);
    std::u16string text;
    ASSERT_TRUE(read_loader_name(m, entries.data()[1], ldr_name::base, &text));
    EXPECT_EQ(text, u"kernel32.dll");
    ASSERT_TRUE(read_loader_name(m, entries.data()[1], ldr_name::full, &text));
    EXPECT_EQ(text, u"C:\\WINDOWS\\system32\\kernel32.dll");

    ldr_entry main;
    ASSERT_TRUE(find_loader_entry(m, kLdr, kImage, &main));
    EXPECT_EQ(ldr_size(main), 0x5000u);
    EXPECT_FALSE(find_loader_entry(m, kLdr, 0x10000000, &main));
}

TEST(LoaderList, UnreadableLinksShortenTheListAndLoopsAreCut) {
    FakeMemory empty = MakeProcess({});
    ps_block_array<ldr_entry> entries;
    ASSERT_TRUE(read_loader_entries(empty, kLdr, &entries));
    EXPECT_EQ(entries.size(), 0u);

    FakeMemory broken = MakeProcess(kModules);
    broken.blocks.erase(kModules[2].entry);   // the third entry cannot be read
    ASSERT_TRUE(read_loader_entries(broken, kLdr, &entries));
    EXPECT_EQ(entries.size(), 2u);

    // The last entry points back at the second: never back to the head.
    FakeMemory loop = MakeProcess(kModules);
    Put32(loop.blocks[kModules[2].entry], 8, kModules[1].entry + 8);
    ps_block_array<ldr_entry> looped;
    ASSERT_TRUE(read_loader_entries(loop, kLdr, &looped));
    EXPECT_EQ(looped.size(), kLoaderMaximumEntries);
}

TEST(LoaderList, NamesAreReadWithinTheirMaximumLength) {
    FakeMemory m = MakeProcess(kModules);
    ps_block_array<ldr_entry> entries;
    ASSERT_TRUE(read_loader_entries(m, kLdr, &entries));
    ldr_entry e = entries.data()[0];
    std::u16string text;
    // Length beyond the maximum: only the maximum is read and used.
    std::memcpy(e.bytes + 44, "\xFF\x00\x08\x00", 4);
    ASSERT_TRUE(read_loader_name(m, e, ldr_name::base, &text));
    EXPECT_EQ(text, u"app.");
    // A buffer that is not there: unreadable.
    std::memset(e.bytes + 40, 0, 4);
    EXPECT_FALSE(read_loader_name(m, e, ldr_name::full, &text));
    EXPECT_TRUE(text.empty());
    peb_fields peb;
    EXPECT_FALSE(read_peb(m, kPeb + 0x1000, &peb));
}

th_process_record ProcessRecord(uint32_t id, uint32_t module_id, const char* exe) {
    th_process_record r = {};
    Put32(r.bytes, 8, id);
    Put32(r.bytes, 16, module_id);
    Put32(r.bytes, 20, 3);
    Put32(r.bytes, 24, 4);
    Put32(r.bytes, 28, 8);
    std::memcpy(r.bytes + 36, exe, std::strlen(exe));
    return r;
}

th_module_record ModuleRecord(uint32_t module_id, uint32_t base, const char* path) {
    th_module_record r = {};
    Put32(r.bytes, 4, module_id);
    Put32(r.bytes, 20, base);
    Put32(r.bytes, 24, 0x1000);
    std::memcpy(r.bytes + 288, path, std::strlen(path));
    return r;
}

TEST(Toolhelp, NameIsAfterTheLastBackslashAndOnly9xFieldsArePaths) {
    const struct { const char* field; const char* name; bool path; } cases[] = {
        {"C:\\WINDOWS\\EXPLORER.EXE", "EXPLORER.EXE", true},   // 9x
        {"explorer.exe", "explorer.exe", false},                // NT
        {"C:\\dir\\", "", true},
        {"", "", false},
    };
    for (const auto& c : cases) {
        const th_process_record r = ProcessRecord(400, 0, c.field);
        const std::string field = th_exe_field(r);
        EXPECT_EQ(field, c.field);
        EXPECT_EQ(th_process_name(field), c.name) << c.field;
        EXPECT_EQ(th_exe_field_is_path(field), c.path) << c.field;
    }
    const th_process_fields f = th_read_process(ProcessRecord(400, 7, "a"));
    EXPECT_EQ(f.id, 400u);
    EXPECT_EQ(f.module_id, 7u);
    EXPECT_EQ(f.thread_count, 3u);
    EXPECT_EQ(f.parent_id, 4u);
    EXPECT_EQ(f.base_priority, 8);
    // An executable field without its NUL ends at the field's end.
    th_process_record full = {};
    std::memset(full.bytes + 36, 'x', 260);
    EXPECT_EQ(th_exe_field(full).size(), 260u);
}

TEST(Toolhelp, MainModuleByModuleIdOrFirstThenSortedByBase) {
    th_module_record records[] = {ModuleRecord(5, 0x7C800000, "k32"), ModuleRecord(9, 0x00400000, "app"),
                                  ModuleRecord(6, 0x10000000, "dll")};
    EXPECT_EQ(th_main_module(records, 3, 0), 0u);   // 9x gives no id: the first record
    EXPECT_EQ(th_main_module(records, 3, 9), 1u);
    EXPECT_EQ(th_main_module(records, 3, 42), 3u);
    EXPECT_EQ(th_main_module(records, 0, 0), 0u);
    sort_module_records(records, 3);
    EXPECT_EQ(th_module_path(records[0]), "app");
    EXPECT_EQ(th_read_module(records[1]).base, 0x10000000u);
    EXPECT_EQ(th_read_module(records[2]).module_id, 5u);
}

TEST(Regions, ProtectionCodesAndWhatIsKept) {
    const struct { uint32_t protect, code; } codes[] = {
        {0x02, 1}, {0x04, 3}, {0x08, 3}, {0x10, 4}, {0x20, 5}, {0x40, 7}, {0x80, 7},
        {0x01, 0}, {0x204, 3},   // no-cache does not change it
        {0x06, 0}, {0x00, 0},
    };
    for (const auto& c : codes) {
        EXPECT_EQ(region_protection_code(c.protect, 0x20000), c.code) << std::hex << c.protect;
        EXPECT_EQ(region_protection_code(c.protect, 0x1000000), c.code + 8) << std::hex << c.protect;
    }
    EXPECT_TRUE(region_kept(0x1000, 0x04));
    EXPECT_FALSE(region_kept(0x10000, 0x01));   // free
    EXPECT_FALSE(region_kept(0x2000, 0x04));    // only reserved
    EXPECT_FALSE(region_kept(0x1000, 0x01));    // no access
    EXPECT_FALSE(region_kept(0x1000, 0x104));   // guard
}

TEST(Regions, SearchByAddressUpToTheLastByte) {
    const region_record regions[] = {{0x10000, 0x1000, 1, 0}, {0x20000, 0x3000, 3, 0}, {0xFFFF0000, 0x10000, 1, 0}};
    auto range = [](const region_record& r, uint32_t* base, uint32_t* size) {
        *base = r.base;
        *size = r.size;
    };
    const struct { uint32_t address; size_t index; } cases[] = {
        {0x10000, 0}, {0x10FFF, 0}, {0x11000, 3}, {0xFFFF, 3}, {0x22FFF, 1},
        {0x23000, 3}, {0xFFFFFFFF, 2}, {0xFFFF0000, 2}, {0, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ps_find_containing(regions, 3, c.address, range), c.index) << std::hex << c.address;
    EXPECT_EQ(ps_find_containing(regions, 0, 0x10000, range), 0u);
}

TEST(StartAddress, NativeQueryThenProbeThenTheEntry) {
    const read_value none, low{true, 0xFFFFF}, good{true, 0x401000}, failed{false, 0x401000};
    const struct { read_value queried; uint32_t probed, entry, expected; } cases[] = {
        {good, 0x500000, 0x600000, 0x401000},
        {{true, 0x100000}, 0x500000, 0, 0x100000},   // the lowest believable address
        {low, 0x500000, 0x600000, 0x500000},         // below it: the probe
        {low, 0, 0x600000, 0x600000},                // no probe either: the entry's field
        {failed, 0, 0x600000, 0x600000},             // a failed query is not believed
        {none, 0, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nt_choose_start_address(c.queried, c.probed, c.entry), c.expected) << std::hex << c.queried.value;
}

TEST(StartAddress, ProbeReadsTheMainSlotOnlyForTheFirstThread) {
    const read_value entry{true, 0x401000}, low{true, 0x1234}, routine{true, 0x402000}, zero{true, 0}, failed;
    const struct { bool first; uint32_t main_offset; read_value main_slot, thread_slot; uint32_t expected; } cases[] = {
        {true, 0x40, entry, routine, 0x401000},
        {false, 0x40, entry, routine, 0x402000},   // not the first thread: its own slot
        {true, 0, entry, routine, 0x402000},        // main offset unknown
        {true, 0x40, low, routine, 0x402000},       // main slot not believable
        {true, 0x40, failed, routine, 0x402000},
        {true, 0x40, failed, zero, 0},
        {false, 0x40, entry, failed, 0},
        {false, 0, failed, low, 0x1234},            // any non-zero value of a created thread's slot
    };
    for (const auto& c : cases)
        EXPECT_EQ(probe_choose_start_address(c.first, c.main_offset, c.main_slot, c.thread_slot), c.expected);
}

// The cursor machinery over a toy snapshot.
struct ToySnapshot : ps_array_snapshot<uint32_t> {
    explicit ToySnapshot(bool* deleted) : m_deleted(deleted) {}
    ~ToySnapshot() override { *m_deleted = true; }
    bool* m_deleted;
};
class ToyCursor final : public ps_cursor<ps_region, ToySnapshot, uint32_t> {
public:
    explicit ToyCursor(ToySnapshot* s) : ps_cursor(s, s->m_records.data(), s->m_records.size()) {}
    ps_region* clone() const override { return new ToyCursor(m_snapshot); }
    uint32_t owner_id() override { return 0; }
    uint32_t protection() override { return 0; }
    uint32_t base_address() override { return record(); }
    uint32_t end_address() override { return record(); }
    bool find_by_address(uint32_t) override { return false; }
    uint32_t user_value() override { return 0; }
    uint32_t set_user_value(uint32_t) override { return 0; }
    void force_index(size_t index) { m_index = index; }
    ToySnapshot* snapshot() const { return m_snapshot; }
};

ToySnapshot* MakeToy(bool* deleted, uint32_t count) {
    auto* s = new ToySnapshot(deleted);
    for (uint32_t i = 0; i < count; ++i) *s->m_records.append(2) = 100 + i;
    return s;
}

TEST(Cursor, NavigationKeepsItsPlaceAtTheEnds) {
    bool deleted = false;
    ps_owner<ToyCursor> c(new ToyCursor(MakeToy(&deleted, 3)));
    EXPECT_EQ(c->count(), 3u);
    EXPECT_TRUE(c->at_first());
    EXPECT_FALSE(c->prev());
    EXPECT_EQ(c->base_address(), 100u);
    EXPECT_TRUE(c->next());
    EXPECT_TRUE(c->next());
    EXPECT_TRUE(c->at_last());
    EXPECT_FALSE(c->next());
    EXPECT_EQ(c->base_address(), 102u);
    EXPECT_TRUE(c->first());
    EXPECT_EQ(c->base_address(), 100u);
    EXPECT_TRUE(c->last());
    EXPECT_EQ(c->base_address(), 102u);

    ps_owner<ToyCursor> none(new ToyCursor(MakeToy(&deleted, 0)));
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(none->last());
    EXPECT_FALSE(none->at_last());
    EXPECT_FALSE(none->next());
}

TEST(Cursor, SnapshotLivesUntilItsLastCursorGoes) {
    bool deleted = false;
    auto* c = new ToyCursor(MakeToy(&deleted, 3));
    c->last();
    auto* clone = static_cast<ToyCursor*>(c->clone());
    EXPECT_TRUE(clone->at_first());
    EXPECT_EQ(c->snapshot()->iterators(), 2u);
    c->destroy();
    EXPECT_FALSE(deleted);
    EXPECT_EQ(clone->base_address(), 100u);
    clone->destroy();
    EXPECT_TRUE(deleted);
}

TEST(CursorDeathTest, PreconditionsStopTheDebugBuild) {
    bool deleted = false;
    ps_owner<ToyCursor> c(new ToyCursor(MakeToy(&deleted, 2)));
    c->force_index(2);
    EXPECT_DEATH(c->base_address(), "m_index < m_array_size");
    ps_owner<ToyCursor> none(new ToyCursor(MakeToy(&deleted, 0)));
    EXPECT_DEATH(none->base_address(), "m_array != NULL");
    bool gone = false;
    EXPECT_DEATH(
        {
            ToySnapshot* fresh = MakeToy(&gone, 1);
            fresh->detach();
        },
        "m_iterators");
}

}  // namespace
