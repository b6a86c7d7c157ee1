// The cursor machinery shared by both back-ends: reference-counted snapshots,
// record arrays grown in fixed blocks, and the cursor over an array.
// Portable (no <windows.h>), so the host tests drive it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "ps/win32/ps_views.h"

// A broken precondition is a programming error: the debug build stops with
// the condition's text; the release build carries on with a zero record.
void ps_precondition_failed(const char* text);
inline bool ps_precondition(bool ok, const char* text) {
    if (!ok) ps_precondition_failed(text);
    return ok;
}

// A snapshot shared by the cursors that read it; it deletes itself when the
// last one lets go.
class ps_snapshot {
public:
    ps_snapshot() = default;
    ps_snapshot(const ps_snapshot&) = delete;
    ps_snapshot& operator=(const ps_snapshot&) = delete;

    void attach() { ++m_iterators; }
    void detach() {
        if (!ps_precondition(m_iterators != 0, "m_iterators")) return;
        if (--m_iterators == 0) delete this;
    }
    uint32_t iterators() const { return m_iterators; }

protected:
    virtual ~ps_snapshot() = default;

private:
    uint32_t m_iterators = 0;
};

// Deletes a snapshot that no cursor was made for (an empty one).
inline void ps_discard_snapshot(ps_snapshot* snapshot) {
    snapshot->attach();
    snapshot->detach();
}

// Records of one kind, grown by a fixed block at a time. A failed growth
// drops everything: a partial snapshot of an unknown size is no use.
template <typename Record>
class ps_block_array {
    static_assert(std::is_trivially_copyable_v<Record>);

public:
    ps_block_array() = default;
    ps_block_array(const ps_block_array&) = delete;
    ps_block_array& operator=(const ps_block_array&) = delete;
    ~ps_block_array() { std::free(m_data); }

    // A zeroed slot at the end, or null when growing failed (the array is then empty).
    Record* append(size_t block) {
        if (m_size == m_capacity) {
            const size_t capacity = m_capacity + (block ? block : 1);
            void* grown = std::realloc(m_data, capacity * sizeof(Record));
            if (!grown) {
                clear();
                return nullptr;
            }
            m_data = static_cast<Record*>(grown);
            m_capacity = capacity;
        }
        Record* slot = &m_data[m_size++];
        std::memset(static_cast<void*>(slot), 0, sizeof(Record));
        return slot;
    }
    // Forgets the last record (one read into a slot that then failed).
    void drop_last() {
        if (m_size) --m_size;
    }
    void clear() {
        std::free(m_data);
        m_data = nullptr;
        m_size = m_capacity = 0;
    }
    Record* data() { return m_data; }
    const Record* data() const { return m_data; }
    size_t size() const { return m_size; }
    size_t capacity() const { return m_capacity; }

private:
    Record* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

// A snapshot that is one block array of records.
template <typename Record>
class ps_array_snapshot : public ps_snapshot {
public:
    ps_block_array<Record> m_records;
};

// A cursor over `m_array_size` records at `m_array` that belong to a
// snapshot. View is the typed interface, Snapshot the snapshot kind.
template <typename View, typename Snapshot, typename Record>
class ps_cursor : public View {
public:
    void destroy() override { delete this; }
    bool empty() const override { return m_array_size == 0; }
    bool at_first() const override { return m_index == 0; }
    bool at_last() const override { return m_array_size != 0 && m_index == m_array_size - 1; }
    bool next() override {
        if (m_index + 1 >= m_array_size) return false;
        ++m_index;
        moved();
        return true;
    }
    bool prev() override {
        if (m_index == 0) return false;
        --m_index;
        moved();
        return true;
    }
    bool first() override {
        m_index = 0;
        moved();
        return true;
    }
    bool last() override {
        if (m_array_size == 0) return false;
        m_index = m_array_size - 1;
        moved();
        return true;
    }
    size_t count() const override { return m_array_size; }

protected:
    ps_cursor(Snapshot* snapshot, Record* array, size_t size)
        : m_snapshot(snapshot), m_array(array), m_array_size(size) {
        m_snapshot->attach();
    }
    ~ps_cursor() override { m_snapshot->detach(); }

    // The preconditions of every record accessor.
    bool check() const {
        return ps_precondition(m_array != NULL, "m_array != NULL") &&
               ps_precondition(m_index < m_array_size, "m_index < m_array_size");
    }
    // The record under the cursor (a zero record when a precondition fails).
    Record& record() const {
        static Record zero;
        if (!check()) {
            std::memset(static_cast<void*>(&zero), 0, sizeof zero);
            return zero;
        }
        return m_array[m_index];
    }
    // Positions on a record found by a search.
    void seek(size_t index) {
        if (index < m_array_size && index != m_index) {
            m_index = index;
            moved();
        }
    }
    // Called after every change of position (caches keyed by it reset here).
    virtual void moved() {}

    Snapshot* m_snapshot;
    Record* m_array;
    size_t m_array_size;
    size_t m_index = 0;
};

// The index of the record whose [base, base + size) holds address, by binary
// search over records sorted by base; `count` when none does.
template <typename Record, typename Range>
size_t ps_find_containing(const Record* records, size_t count, uint32_t address, Range range) {
    size_t low = 0, high = count;
    while (low < high) {
        const size_t mid = low + (high - low) / 2;
        uint32_t base = 0, size = 0;
        range(records[mid], &base, &size);
        if (address < base) {
            high = mid;
        } else if (static_cast<uint64_t>(address) >= static_cast<uint64_t>(base) + size) {
            low = mid + 1;
        } else {
            return mid;
        }
    }
    return count;
}
