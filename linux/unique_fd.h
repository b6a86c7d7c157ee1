// Owners of the Linux resources the native scanner holds: file descriptors,
// directory streams and memory mappings are released on every path.
#pragma once
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <utility>

namespace posix {

// A move-only owner whose policy says what "empty" is and how a value is released.
template <typename Policy>
class Unique {
public:
    using value_type = typename Policy::value_type;
    Unique() noexcept : m_value(Policy::Empty()) {}
    explicit Unique(value_type value) noexcept : m_value(value) {}
    ~Unique() { reset(); }
    Unique(Unique&& other) noexcept : m_value(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

    explicit operator bool() const noexcept { return m_value != Policy::Empty(); }
    value_type get() const noexcept { return m_value; }
    value_type release() noexcept { return std::exchange(m_value, Policy::Empty()); }
    // False when releasing the old value failed (a close that reports a lost write).
    bool reset(value_type value = Policy::Empty()) noexcept {
        bool ok = true;
        if (m_value != Policy::Empty()) ok = Policy::Close(m_value);
        m_value = value;
        return ok;
    }

private:
    value_type m_value;
};

struct FdPolicy {
    using value_type = int;
    static int Empty() { return -1; }
    static bool Close(int fd) { return ::close(fd) == 0; }
};
using UniqueFd = Unique<FdPolicy>;

struct DirPolicy {
    using value_type = DIR*;
    static DIR* Empty() { return nullptr; }
    static bool Close(DIR* dir) { return ::closedir(dir) == 0; }
};
using UniqueDir = Unique<DirPolicy>;

// A read-only mapping of a whole file.
class Mapping {
public:
    Mapping() = default;
    Mapping(void* address, size_t size) : m_address(address), m_size(size) {}
    ~Mapping() {
        if (m_address != MAP_FAILED && m_address) ::munmap(m_address, m_size);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    explicit operator bool() const { return m_address != MAP_FAILED && m_address; }
    const unsigned char* data() const { return static_cast<const unsigned char*>(m_address); }
    size_t size() const { return m_size; }

private:
    void* m_address = nullptr;
    size_t m_size = 0;
};

}  // namespace posix
