// What the scan and the repair need of an open file besides its owners
// (win32/unique_handle.h).
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

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

// Size of an open file, also beyond 4 GB.
inline bool FileSize64(HANDLE file, uint64_t& size) {
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    size = (uint64_t{high} << 32) | low;
    return true;
}

// Reads up to `count` bytes at `offset` (positioning the file pointer, which
// works for every file on both families); `got` tells how many arrived.
inline bool ReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD count, DWORD& got) {
    got = 0;
    LONG high = static_cast<LONG>(offset >> 32);
    DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
    return ReadFile(file, buffer, count, &got, nullptr) != 0;
}
