// The 9x thread-handle emulation over a simulated kernel: a byte arena
// addressed with 32-bit kernel addresses, whatever the host's pointer size.
#include "ps/win32/handle_table_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace {

using namespace handle_table;

class SimulatedKernel final : public KernelView {
public:
    static constexpr uint32_t kBase = 0x81500000;   // shared arena of the 9x kernel

    uint32_t Allocate(uint32_t size) {
        const uint32_t address = kBase + static_cast<uint32_t>(bytes.size());
        bytes.resize(bytes.size() + ((size + 15) & ~15u), 0);
        sizes[address] = size;
        return address;
    }
    uint32_t Read32(uint32_t a) override { return Get<uint32_t>(a); }
    void Write32(uint32_t a, uint32_t v) override { Put(a, v); }
    uint16_t Read16(uint32_t a) override { return Get<uint16_t>(a); }
    void Write16(uint32_t a, uint16_t v) override { Put(a, v); }
    // Like the kernel's: a new block, the old contents kept, the rest zeroed;
    // the old block is spoilt so that a write to it after the move shows.
    uint32_t Reallocate(uint32_t flags, uint32_t table, uint32_t size, uint32_t one) override {
        calls.push_back({flags, table, size, one});
        if (failReallocation) return 0;
        const uint32_t old = sizes.at(table);
        const uint32_t fresh = Allocate(size);
        std::memcpy(&bytes[fresh - kBase], &bytes[table - kBase], std::min(old, size));
        std::memset(&bytes[table - kBase], 0xDD, old);
        return fresh;
    }

    struct Call {
        uint32_t flags, table, size, one;
        bool operator==(const Call&) const = default;
    };
    std::vector<uint8_t> bytes;
    std::map<uint32_t, uint32_t> sizes;
    std::vector<Call> calls;
    bool failReallocation = false;

private:
    template <typename T> T Get(uint32_t a) {
        T v = 0;
        if (InArena(a, sizeof v)) std::memcpy(&v, &bytes[a - kBase], sizeof v);
        return v;
    }
    template <typename T> void Put(uint32_t a, T v) {
        if (InArena(a, sizeof v)) std::memcpy(&bytes[a - kBase], &v, sizeof v);
    }
    bool InArena(uint32_t a, size_t n) {
        const bool inside = a >= kBase && a - kBase + n <= bytes.size();
        EXPECT_TRUE(inside) << std::hex << "kernel address 0x" << a;
        return inside;
    }
};

// A process database with a handle table of `capacity` entries, of which
// the listed indexes are in use, and one thread object.
struct Process {
    Process(uint32_t capacity, std::vector<uint32_t> used, uint16_t references = 1) {
        database = kernel.Allocate(0x100);
        table = kernel.Allocate(capacity * kEntrySize + kEntriesOffset);
        kernel.Write32(database + kTableOffset, table);
        kernel.Write32(table, capacity);
        other = kernel.Allocate(16);
        for (uint32_t i : used) kernel.Write32(Entry(i) + 4, other);
        thread = kernel.Allocate(8);
        kernel.Write32(thread, 0x11111111);
        kernel.Write32(thread + 4, 0x22222222);
        kernel.Write16(thread + kReferenceOffset, references);
    }
    uint32_t Table() { return kernel.Read32(database + kTableOffset); }
    uint32_t Entry(uint32_t index) { return Table() + kEntriesOffset + index * kEntrySize; }
    uint32_t Add(uint32_t access = 0x1F03FF, bool inherit = false) {
        return AddThreadHandle(kernel, database, thread, access, inherit);
    }
    uint16_t References() { return kernel.Read16(thread + kReferenceOffset); }

    SimulatedKernel kernel;
    uint32_t database, table, thread, other;
};

TEST(HandleTable, AccessIsMaskedAndInheritanceIsBit31) {
    const struct { uint32_t desired; bool inherit; uint32_t access; } cases[] = {
        {0xFFFFFFFF, false, 0x001F03FF}, {0xFFFFFFFF, true, 0x801F03FF}, {0x00000002, true, 0x80000002},
        {0xF0000000, false, 0}, {0x00100000, false, 0x00100000}, {0x000F0C00, false, 0x000F0000}};
    for (const auto& c : cases) EXPECT_EQ(EntryAccess(c.desired, c.inherit), c.access) << std::hex << c.desired;
    Process p(4, {1});
    EXPECT_EQ(p.Add(0xFFFFFFFF, true), 8u);
    EXPECT_EQ(p.kernel.Read32(p.Entry(2)), 0x801F03FFu);
}

TEST(HandleTable, FirstFreeEntryFromIndexOneTakesAReference) {
    Process p(5, {1, 3}, 41);
    const uint32_t handle = p.Add(0x1F03FF);
    EXPECT_EQ(handle, 8u);   // index 0 is free but never used
    EXPECT_EQ(p.kernel.Read32(p.Entry(2)), 0x1F03FFu);
    EXPECT_EQ(p.kernel.Read32(p.Entry(2) + 4), p.thread);
    EXPECT_EQ(p.kernel.Read32(p.Entry(0) + 4), 0u);
    EXPECT_EQ(p.References(), 42);
    // Only the 16-bit count changed in the thread object.
    EXPECT_EQ(p.kernel.Read16(p.thread), 0x1111);
    EXPECT_EQ(p.kernel.Read32(p.thread + 4), 0x22222222u);
    EXPECT_TRUE(p.kernel.calls.empty());
    EXPECT_EQ(p.Add(), 16u);   // index 3 is in use
    EXPECT_EQ(p.Table(), p.table);
}

TEST(HandleTable, FullTableGrowsBySixteenThroughTheKernel) {
    Process p(3, {1, 2});
    const uint32_t old = p.table;
    EXPECT_EQ(p.Add(0x1F03FF, true), 12u);   // the old capacity is the new index
    ASSERT_EQ(p.kernel.calls.size(), 1u);
    EXPECT_EQ(p.kernel.calls[0], (SimulatedKernel::Call{0x1000C, old, 19 * 8 + 4, 1}));
    ASSERT_NE(p.Table(), old);
    EXPECT_EQ(p.kernel.Read32(p.Table()), 19u);
    EXPECT_EQ(p.kernel.Read32(p.Entry(1) + 4), p.other);   // kept by the move
    EXPECT_EQ(p.kernel.Read32(p.Entry(3)), 0x801F03FFu);
    EXPECT_EQ(p.kernel.Read32(p.Entry(3) + 4), p.thread);
    EXPECT_EQ(p.References(), 2);
    // The next handles come from the grown table without another move.
    for (uint32_t index = 4; index < 19; ++index) EXPECT_EQ(p.Add(), index * 4);
    EXPECT_EQ(p.kernel.calls.size(), 1u);
    EXPECT_EQ(p.Add(), 19u * 4);
    ASSERT_EQ(p.kernel.calls.size(), 2u);
    EXPECT_EQ(p.kernel.calls[1].size, 35u * 8 + 4);
    EXPECT_EQ(p.References(), 18);   // one reference per handle
}

TEST(HandleTable, FailedGrowthChangesNothing) {
    Process p(2, {1}, 7);
    p.kernel.failReallocation = true;
    const std::vector<uint8_t> before = p.kernel.bytes;
    EXPECT_EQ(p.Add(), 0u);
    EXPECT_EQ(p.kernel.calls.size(), 1u);
    EXPECT_EQ(p.kernel.bytes, before);
}

TEST(HandleTable, NeverHandsOutTheNullHandle) {
    // A table too small to have a usable entry still grows to give index 1.
    for (uint32_t capacity : {0u, 1u}) {
        Process p(capacity, {});
        EXPECT_EQ(p.Add(), 4u) << capacity;
        EXPECT_EQ(p.kernel.Read32(p.Table()), capacity + 16) << capacity;
        EXPECT_EQ(p.kernel.Read32(p.Entry(1) + 4), p.thread) << capacity;
    }
}

}  // namespace
