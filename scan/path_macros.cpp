#include "scan/path_macros.h"

#include <cstring>

size_t ExpandSystemPrefix(const char* path, char* out, size_t capacity) {
    if (!path || !out || !capacity) return 0;
    size_t n = std::strlen(path);
    if (n >= capacity) return 0;
    std::memcpy(out, path, n + 1);
    return n;
}
