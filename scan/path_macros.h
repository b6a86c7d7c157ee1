// Expansion of the threat definition's path macros.
#pragma once
#include <cstddef>

// Expands a leading "%system%\", "%windir%\" or "%windows%\" into `out`
// (capacity in bytes). Returns the length written, 0 on failure.
size_t ExpandSystemPrefix(const char* path, char* out, size_t capacity);
