// Network and security libraries looked up by name for one piece of work.
#pragma once
#include <windows.h>

#include "ps/win32/system_functions.h"
#include "platform/fault_guard.h"
#include "win32/unique_handle.h"

// A library loaded for one piece of work, freed when it ends, and the
// functions looked up in it. Every function is required: one that is
// missing leaves the library incomplete.
class NetLibrary {
public:
    explicit NetLibrary(const char* name) : m_module(dyn_LoadLibraryA(name)), m_complete(m_module.valid()) {}
    template <typename F>
    void Bind(F& function, const char* name) {
        function = m_module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_module.get(), name)))
                            : nullptr;
        if (!function) m_complete = false;
    }
    bool complete() const { return m_complete; }

private:
    win32::UniqueModule m_module;
    bool m_complete;
};

// What a network call that raised instead of returning counts as.
constexpr DWORD kNetCallRaised = 574;   // ERROR_UNHANDLED_EXCEPTION

// Calls f() and returns its status. Some systems' network functions are
// stubs that raise an exception; such a call fails like any other.
template <typename F>
DWORD NetCall(F&& f) {
    DWORD status = kNetCallRaised;
    if (!CallGuarded([&] { status = static_cast<DWORD>(f()); })) status = kNetCallRaised;
    return status;
}
