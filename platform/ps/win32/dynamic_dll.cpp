#include "ps/win32/dynamic_dll.h"

dynamic_dll::~dynamic_dll() {
    if (m_handle) FreeLibrary(m_handle);
    m_handle = nullptr;
}

int dynamic_dll::acquire() {
    if (m_handle) {
        ++m_references;
        return 1;
    }
    HMODULE module = LoadLibraryA(m_name);
    if (!module) return 0;
    m_handle = module;
    m_references = 1;
    return 1;
}

void* dynamic_dll::resolve_function(const char* name, void** slot, fallback_provider fallback) {
    if (m_handle || acquire()) {
        if (void* address = reinterpret_cast<void*>(GetProcAddress(m_handle, name))) {
            *slot = address;
            return address;
        }
        if (fallback) {
            if (void* address = fallback()) {
                *slot = address;
                return address;
            }
        }
    }
    throw new _dynamic_dll_exception{name};
}
