// The views of the process library: cursors over snapshots of processes,
// threads, modules and memory regions. Each view is a cursor over a snapshot
// taken when the cursor is made; the typed views read the record under the
// cursor. Cursors are heap objects released through destroy(); ps_owner<T>
// does that on every path. Portable: the host tests drive the cursor machinery.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

struct ps_stack_info {
    uint32_t stack_limit;     // lowest committed stack address
    uint32_t stack_pointer;   // current stack pointer
    uint32_t stack_top;       // highest stack byte: the TEB's stack base minus 1
    uint32_t teb;             // thread environment block
};

class ps_iterator {
public:
    virtual void destroy() = 0;
    // A new cursor on the same snapshot, on its first record.
    virtual ps_iterator* clone() const = 0;
    virtual bool empty() const = 0;
    virtual bool at_first() const = 0;
    virtual bool at_last() const = 0;
    // Advances when there is a next record; false at the end, position unchanged.
    virtual bool next() = 0;
    virtual bool prev() = 0;
    virtual bool first() = 0;
    virtual bool last() = 0;
    virtual size_t count() const = 0;

protected:
    virtual ~ps_iterator() = default;
};

class ps_region;
class ps_module;
class ps_thread;

class ps_process : public ps_iterator {
public:
    ps_process* clone() const override = 0;
    virtual uint32_t id() = 0;
    virtual uint32_t parent_id() = 0;
    // File name of the image ("[System Process]" for the idle process); never null.
    virtual const char* name() = 0;
    // Full path of the image, or null.
    virtual const char* path() = 0;
    virtual int32_t base_priority() = 0;
    virtual uint32_t thread_count() = 0;
    // New cursors owned by the caller, or null when nothing can be read.
    virtual ps_region* regions() = 0;
    virtual ps_module* modules() = 0;
    virtual ps_thread* threads() = 0;
    virtual bool terminate() = 0;
};

class ps_thread : public ps_iterator {
public:
    ps_thread* clone() const override = 0;
    virtual uint32_t id() = 0;
    virtual uint32_t owner_id() = 0;
    virtual int32_t base_priority() = 0;
    virtual int32_t priority_delta() = 0;
    virtual uint32_t start_address() = 0;
    virtual uint32_t zero() = 0;   // always 0
    // Cached for the current (process, thread); null when it cannot be read.
    virtual const ps_stack_info* stack_info() = 0;
    virtual bool terminate() = 0;
};

class ps_module : public ps_iterator {
public:
    ps_module* clone() const override = 0;
    virtual uint32_t owner_id() = 0;
    virtual const char* name() = 0;   // never null (empty when unreadable)
    virtual const char* path() = 0;   // null when unreadable
    virtual uint32_t base_address() = 0;
    virtual uint32_t end_address() = 0;   // base + size - 1
    // Positions the cursor on the module containing address; false when none.
    virtual bool find_by_address(uint32_t address) = 0;
    // Positions the cursor on the main image; false when none.
    virtual bool select_main() = 0;
    virtual bool is_main() = 0;
};

class ps_region : public ps_iterator {
public:
    ps_region* clone() const override = 0;
    virtual uint32_t owner_id() = 0;
    // Bits: 1 readable, 2 writable, 4 executable, 8 part of a mapped image.
    virtual uint32_t protection() = 0;
    virtual uint32_t base_address() = 0;
    virtual uint32_t end_address() = 0;
    virtual bool find_by_address(uint32_t address) = 0;
    virtual uint32_t user_value() = 0;
    virtual uint32_t set_user_value(uint32_t value) = 0;   // returns the old one
};

struct ps_destroy {
    void operator()(ps_iterator* cursor) const {
        if (cursor) cursor->destroy();
    }
};
template <typename Cursor>
using ps_owner = std::unique_ptr<Cursor, ps_destroy>;
