// OpenThread on the 9x family, which has none: a handle is made by hand in
// the process's own handle table, the way the kernel makes one. The kernel's
// structures are reached through 32-bit addresses only, so that the table
// logic runs the same over the real kernel and over a simulated one.
#pragma once
#include <cstdint>

namespace handle_table {

// Layout of the kernel structures the emulation touches.
constexpr uint32_t kTableOffset = 0x44;         // process database: pointer to the handle table
constexpr uint32_t kEntriesOffset = 4;          // table: capacity (32 bits), then the entries
constexpr uint32_t kEntrySize = 8;              // entry: access word, object pointer
constexpr uint32_t kReferenceOffset = 2;        // thread object: 16-bit reference count
constexpr uint32_t kGrowth = 16;                // entries added when the table is full
constexpr uint32_t kReallocateFlags = 0x1000C;  // as the kernel grows its tables (new entries zeroed)
constexpr uint32_t kAccessMask = 0x1F03FF;      // what a thread handle may carry
constexpr uint32_t kInheritBit = 0x80000000u;

// The kernel memory of the own process as the emulation sees it.
class KernelView {
public:
    virtual uint32_t Read32(uint32_t address) = 0;
    virtual void Write32(uint32_t address, uint32_t value) = 0;
    virtual uint16_t Read16(uint32_t address) = 0;
    virtual void Write16(uint32_t address, uint16_t value) = 0;
    // The kernel's reallocation routine for handle tables: the new table
    // (old entries kept, new ones zeroed) or 0.
    virtual uint32_t Reallocate(uint32_t flags, uint32_t table, uint32_t bytes, uint32_t one) = 0;

protected:
    ~KernelView() = default;
};

// The access word of a new entry.
uint32_t EntryAccess(uint32_t desiredAccess, bool inherit);

// Enters threadObject into the handle table of processDatabase, growing the
// table when it is full, and takes a reference on the thread object. The
// handle (entry index × 4), or 0 when the table could not grow (then nothing
// has changed). The caller serialises calls.
uint32_t AddThreadHandle(KernelView& kernel, uint32_t processDatabase, uint32_t threadObject,
                         uint32_t desiredAccess, bool inherit);

}  // namespace handle_table
