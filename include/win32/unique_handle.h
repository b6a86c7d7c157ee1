// The owners of Windows handles, keys, views, loaded libraries and page
// blocks (UniqueValue with a policy each). A scope guard covers the
// clean-ups that are not a single value.
#pragma once
#include <windows.h>

#include <utility>

#include "unique_value.h"

namespace win32 {

template <typename Policy>
using UniqueHandle = UniqueValue<Policy>;

// Kernel objects whose failure value is null: mappings, processes, threads,
// tokens, events, semaphores.
inline bool CloseKernelHandle(HANDLE h) noexcept { return CloseHandle(h) != 0; }
using KernelHandlePolicy = NullEmptyPolicy<HANDLE, &CloseKernelHandle>;

// Handles whose failure value is INVALID_HANDLE_VALUE: files, find handles.
template <bool (*Release)(HANDLE) noexcept>
struct InvalidEmptyPolicy {
    using value_type = HANDLE;
    static HANDLE Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE; }
    static bool Close(HANDLE h) noexcept { return Release(h); }
};
using FileHandlePolicy = InvalidEmptyPolicy<&CloseKernelHandle>;
inline bool CloseFind(HANDLE h) noexcept { return FindClose(h) != 0; }
using FindHandlePolicy = InvalidEmptyPolicy<&CloseFind>;

inline bool UnmapView(void* p) noexcept { return UnmapViewOfFile(p) != 0; }
using ViewPolicy = NullEmptyPolicy<void*, &UnmapView>;

inline bool CloseKey(HKEY k) noexcept { return RegCloseKey(k) == ERROR_SUCCESS; }
using KeyPolicy = NullEmptyPolicy<HKEY, &CloseKey>;

inline bool ReleaseModule(HMODULE m) noexcept { return FreeLibrary(m) != 0; }
using ModulePolicy = NullEmptyPolicy<HMODULE, &ReleaseModule>;

inline bool FreePages(void* p) noexcept { return VirtualFree(p, 0, MEM_RELEASE) != 0; }
using PagesPolicy = NullEmptyPolicy<void*, &FreePages>;

using UniqueKernelHandle = UniqueHandle<KernelHandlePolicy>;
using UniqueFile = UniqueHandle<FileHandlePolicy>;
using UniqueFind = UniqueHandle<FindHandlePolicy>;
using UniqueView = UniqueHandle<ViewPolicy>;
using UniqueKey = UniqueHandle<KeyPolicy>;
using UniqueModule = UniqueHandle<ModulePolicy>;
using UniquePages = UniqueHandle<PagesPolicy>;

// Runs a clean-up when the scope ends, unless dismissed.
template <typename F>
class ScopeGuard {
public:
    explicit ScopeGuard(F f) : m_f(std::move(f)) {}
    ~ScopeGuard() {
        if (m_active) m_f();
    }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    void Dismiss() noexcept { m_active = false; }

private:
    F m_f;
    bool m_active = true;
};

}  // namespace win32
