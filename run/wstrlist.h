// An owned, ordered list of native path strings: wide on the NT family, ANSI
// on 9x. The caller says at insertion which kind it hands in; the list keeps
// heap copies and hands out read access only. Portable.
#pragma once
#include <cstddef>

class WStrList {
public:
    // A position in the list (opaque; null means none).
    using Position = struct WStrNode*;

    WStrList();
    virtual ~WStrList();
    WStrList(const WStrList&) = delete;
    WStrList& operator=(const WStrList&) = delete;

    // Appends a copy of text (wide: wchar_t text, else byte text). A failed
    // allocation is fatal (std::bad_alloc); the list never holds null.
    Position Add(const void* text, int wide);
    Position Add(const char* text) { return Add(text, 0); }
    Position Add(const wchar_t* text) { return Add(text, 1); }

    size_t GetCount() const;
    // Position of the zero-based index, or null past the end.
    Position FindIndex(size_t index) const;
    // The element string at a position (wchar_t* or char* as added).
    const void* GetAt(Position position) const;
    // The first element string; the list must not be empty.
    const void* GetHead() const;
    // Frees every element, then empties the list.
    void RemoveAll();

private:
    class PtrList* m_list;
};
