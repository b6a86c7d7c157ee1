// One owner for every kind of system handle: a move-only RAII wrapper whose
// policy says what "empty" is and how a value is released, so that handles,
// keys, views, loaded libraries and page blocks are released on every path.
// A scope guard covers the clean-ups that are not a single value.
#pragma once
#include <windows.h>

#include <utility>

namespace win32 {

template <typename Policy>
class UniqueHandle {
public:
    using value_type = typename Policy::value_type;

    UniqueHandle() noexcept : m_value(Policy::Empty()) {}
    explicit UniqueHandle(value_type value) noexcept : m_value(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_value(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    bool valid() const noexcept { return Policy::IsValid(m_value); }
    explicit operator bool() const noexcept { return valid(); }
    value_type get() const noexcept { return m_value; }

    // Releases what is held and takes `value`; false when the release failed
    // (callers that must know, like an unmap before a truncation, look).
    bool reset(value_type value = Policy::Empty()) noexcept {
        bool ok = true;
        if (valid()) ok = Policy::Close(m_value);
        m_value = value;
        return ok;
    }
    value_type release() noexcept { return std::exchange(m_value, Policy::Empty()); }
    // For out-parameters of the system call that creates the value.
    value_type* put() noexcept {
        reset();
        return &m_value;
    }

private:
    value_type m_value;
};

// Kernel objects whose failure value is null: mappings, processes, threads,
// tokens, events, semaphores.
struct KernelHandlePolicy {
    using value_type = HANDLE;
    static HANDLE Empty() noexcept { return nullptr; }
    static bool IsValid(HANDLE h) noexcept { return h != nullptr; }
    static bool Close(HANDLE h) noexcept { return CloseHandle(h) != 0; }
};

// Handles whose failure value is INVALID_HANDLE_VALUE: files, snapshots.
struct FileHandlePolicy {
    using value_type = HANDLE;
    static HANDLE Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE; }
    static bool Close(HANDLE h) noexcept { return CloseHandle(h) != 0; }
};

struct FindHandlePolicy {
    using value_type = HANDLE;
    static HANDLE Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE; }
    static bool Close(HANDLE h) noexcept { return FindClose(h) != 0; }
};

struct ViewPolicy {
    using value_type = void*;
    static void* Empty() noexcept { return nullptr; }
    static bool IsValid(void* p) noexcept { return p != nullptr; }
    static bool Close(void* p) noexcept { return UnmapViewOfFile(p) != 0; }
};

struct KeyPolicy {
    using value_type = HKEY;
    static HKEY Empty() noexcept { return nullptr; }
    static bool IsValid(HKEY k) noexcept { return k != nullptr; }
    static bool Close(HKEY k) noexcept { return RegCloseKey(k) == ERROR_SUCCESS; }
};

struct ModulePolicy {
    using value_type = HMODULE;
    static HMODULE Empty() noexcept { return nullptr; }
    static bool IsValid(HMODULE m) noexcept { return m != nullptr; }
    static bool Close(HMODULE m) noexcept { return FreeLibrary(m) != 0; }
};

struct PagesPolicy {
    using value_type = void*;
    static void* Empty() noexcept { return nullptr; }
    static bool IsValid(void* p) noexcept { return p != nullptr; }
    static bool Close(void* p) noexcept { return VirtualFree(p, 0, MEM_RELEASE) != 0; }
};

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
