// Owners of the file, mapping and view handles of one scanned or repaired
// file, so that every path releases them.
#pragma once
#include <windows.h>

class FileHandle {
public:
    explicit FileHandle(HANDLE h = INVALID_HANDLE_VALUE) : m_h(h) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
    HANDLE Get() const { return m_h; }
    bool Close() {
        bool ok = true;
        if (Valid()) ok = CloseHandle(m_h) != 0;
        m_h = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE m_h;
};

class MappedView {
public:
    explicit MappedView(void* view = nullptr) : m_view(view) {}
    ~MappedView() { Unmap(); }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    void* Get() const { return m_view; }
    bool Unmap() {
        bool ok = true;
        if (m_view) ok = UnmapViewOfFile(m_view) != 0;
        m_view = nullptr;
        return ok;
    }

private:
    void* m_view;
};

// Size of an open file; false when it cannot be read or does not fit in size_t.
inline bool FileSize(HANDLE file, size_t& size) {
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    if (high != 0) return false;   // a 32-bit process cannot map it whole anyway
    size = low;
    return true;
}
