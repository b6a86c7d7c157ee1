// Owners of the Linux resources the native scanner holds: file descriptors,
// directory streams and memory mappings are released on every path.
#pragma once
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <utility>

#include "unique_value.h"

namespace posix {

template <typename Policy>
using Unique = UniqueValue<Policy>;

struct FdPolicy {
    using value_type = int;
    static int Empty() noexcept { return -1; }
    static bool IsValid(int fd) noexcept { return fd != -1; }
    static bool Close(int fd) noexcept { return ::close(fd) == 0; }
};
using UniqueFd = Unique<FdPolicy>;

inline bool CloseDir(DIR* dir) noexcept { return ::closedir(dir) == 0; }
using UniqueDir = Unique<NullEmptyPolicy<DIR*, &CloseDir>>;

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
