// An owned, ordered list of native path strings: wide on the NT family, ANSI
// on 9x. The caller says at insertion which kind it hands in; the list keeps
// heap copies and hands out read access only. Portable.
//
// Read the elements as the kind they were added as, in order:
//     for (const wchar_t* path : list.As<wchar_t>()) ...
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

    // The elements in order as text of kind C (wchar_t or char, as added).
    template <typename C> class Elements;
    template <typename C> Elements<C> As() const;
    // The position of the first element, and of the one after `position`
    // (null past the end).
    Position GetHeadPosition() const;
    static Position GetNext(Position position);

private:
    class PtrList* m_list;
};

template <typename C>
class WStrList::Elements {
public:
    class iterator {
    public:
        iterator(const WStrList& list, Position at) : m_list(&list), m_at(at) {}
        const C* operator*() const { return static_cast<const C*>(m_list->GetAt(m_at)); }
        iterator& operator++() {
            m_at = WStrList::GetNext(m_at);
            return *this;
        }
        bool operator!=(const iterator& other) const { return m_at != other.m_at; }

    private:
        const WStrList* m_list;
        Position m_at;
    };
    explicit Elements(const WStrList& list) : m_list(list) {}
    iterator begin() const { return iterator(m_list, m_list.GetHeadPosition()); }
    iterator end() const { return iterator(m_list, nullptr); }

private:
    const WStrList& m_list;
};

template <typename C>
WStrList::Elements<C> WStrList::As() const {
    return Elements<C>(*this);
}
