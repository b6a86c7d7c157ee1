// What the scan and the repair need of an open file besides its owners
// (win32/unique_handle.h).
#pragma once
#include <windows.h>

#include <cstddef>

#include "win32/unique_handle.h"

// Size of an open file; false when it cannot be read or does not fit in size_t.
inline bool FileSize(HANDLE file, size_t& size) {
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    if (high != 0) return false;   // a 32-bit process cannot map it whole anyway
    size = low;
    return true;
}
