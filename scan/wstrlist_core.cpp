#include "scan/wstrlist.h"

#include <cstring>
#include <cwchar>

bool WStrList::Add(const wchar_t* text) {
    if (!text) return false;
    size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
    m_items.emplace_back(reinterpret_cast<const char*>(text), bytes);
    m_wide.push_back(true);
    return true;
}

bool WStrList::Add(const char* text) {
    if (!text) return false;
    m_items.emplace_back(text, std::strlen(text) + 1);
    m_wide.push_back(false);
    return true;
}

void WStrList::Clear() {
    m_items.clear();
    m_wide.clear();
}
