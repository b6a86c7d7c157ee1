// Run-time binding of system functions. A bound function is a slot that
// starts out at a resolving entry of the same signature and calling
// convention: the first call looks the name up in its library (or takes the
// fallback), stores the address in the slot and goes on into the real
// function with the caller's arguments; later calls go through the slot
// directly. A name that resolves to nothing throws a pointer to a heap
// _dynamic_dll_exception naming the function.
#pragma once
#include <windows.h>

#include <cstdint>
#include <utility>

struct _dynamic_dll_exception {
    const char* name;   // the function that could not be bound
};

// Returns the address of a replacement implementation, or null.
using fallback_provider = void* (*)();

class dynamic_dll {
public:
    // constexpr: the instances are initialised before any code runs, so a
    // bound function may be called from another file's static initialiser.
    explicit constexpr dynamic_dll(const char* name) noexcept : m_name(name) {}
    // At program exit: the library is freed once when it was loaded.
    ~dynamic_dll();
    dynamic_dll(const dynamic_dll&) = delete;
    dynamic_dll& operator=(const dynamic_dll&) = delete;

    // Loads the library on first need; 1 when it is there.
    int acquire();
    // Resolves `name` into *slot (or its fallback) and returns the address;
    // throws _dynamic_dll_exception* when neither exists.
    void* resolve_function(const char* name, void** slot, fallback_provider fallback);

    const char* name() const { return m_name; }
    HMODULE handle() const { return m_handle; }
    uint32_t references() const { return m_references; }

private:
    const char* m_name;
    HMODULE m_handle = nullptr;
    uint32_t m_references = 0;
};

template <typename Pointer>
struct dynamic_function {
    const char* name;
    dynamic_dll* dll;
    fallback_provider fallback;
    Pointer slot;
    Pointer entry;   // the resolving entry: the slot is unresolved while it points here

    template <typename... Args>
    auto operator()(Args&&... args) const {
        return slot(std::forward<Args>(args)...);
    }
    bool resolved() const { return slot != entry; }
    // Back to the unresolved state (tests).
    void reset() { slot = entry; }
};

// The resolving entry of the bound function F, whose pointer type is
// R (WINAPI*)(A...).
template <auto& F, typename R, typename... A>
R WINAPI resolving_entry(A... args) {
    using Pointer = R(WINAPI*)(A...);
    auto target = reinterpret_cast<Pointer>(
        F.dll->resolve_function(F.name, reinterpret_cast<void**>(&F.slot), F.fallback));
    return target(args...);
}

// Declares and defines one bound function dyn_<name> of `dll`.
#define PS_DECLARE_DYNAMIC(ret, name, ...) extern dynamic_function<ret(WINAPI*)(__VA_ARGS__)> dyn_##name
#define PS_DEFINE_DYNAMIC(dll, fallback, ret, name, ...)                                              \
    constinit dynamic_function<ret(WINAPI*)(__VA_ARGS__)> dyn_##name{                                 \
        #name, &dll, fallback, &resolving_entry<dyn_##name, ret __VA_OPT__(, ) __VA_ARGS__>,          \
        &resolving_entry<dyn_##name, ret __VA_OPT__(, ) __VA_ARGS__>}
