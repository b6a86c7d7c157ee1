// An owned list of native path strings: wide on the NT family, ANSI on 9x.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

class WStrList {
public:
    // Appends a copy of a native string (wide when `wide`, else ANSI).
    bool Add(const wchar_t* text);
    bool Add(const char* text);
    size_t Count() const { return m_items.size(); }
    bool Empty() const { return m_items.empty(); }
    // The native string at index i (wchar_t* or char* as added).
    const void* At(size_t i) const { return m_items[i].data(); }
    bool IsWide(size_t i) const { return m_wide[i]; }
    void Clear();

private:
    std::vector<std::string> m_items;   // raw bytes of the string, terminator included
    std::vector<bool> m_wide;
};
