#include "ps/win32/handle_table_core.h"

namespace handle_table {

uint32_t EntryAccess(uint32_t desiredAccess, bool inherit) {
    return (desiredAccess & kAccessMask) | (inherit ? kInheritBit : 0);
}

uint32_t AddThreadHandle(KernelView& kernel, uint32_t processDatabase, uint32_t threadObject,
                         uint32_t desiredAccess, bool inherit) {
    const uint32_t access = EntryAccess(desiredAccess, inherit);
    uint32_t table = kernel.Read32(processDatabase + kTableOffset);
    const uint32_t capacity = kernel.Read32(table);

    // Index 0 is never handed out: its handle would be the null handle.
    uint32_t index = 1;
    while (index < capacity && kernel.Read32(table + kEntriesOffset + index * kEntrySize + 4) != 0) ++index;

    if (index >= capacity) {
        // A capacity this large is no handle table; growing it would wrap the size.
        if (capacity > (0xFFFFFFFFu - kEntriesOffset) / kEntrySize - kGrowth) return 0;
        const uint32_t grown = capacity + kGrowth;
        const uint32_t bigger = kernel.Reallocate(kReallocateFlags, table, grown * kEntrySize + kEntriesOffset, 1);
        if (bigger == 0) return 0;
        kernel.Write32(bigger, grown);
        kernel.Write32(processDatabase + kTableOffset, bigger);
        table = bigger;
        index = capacity == 0 ? 1 : capacity;   // the first of the new entries
    }

    const uint32_t entry = table + kEntriesOffset + index * kEntrySize;
    kernel.Write32(entry, access);
    kernel.Write32(entry + 4, threadObject);
    kernel.Write16(threadObject + kReferenceOffset,
                   static_cast<uint16_t>(kernel.Read16(threadObject + kReferenceOffset) + 1));
    return index * 4;
}

}  // namespace handle_table
