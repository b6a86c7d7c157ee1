#include "run/wstrlist.h"

#include <cassert>
#include <cstring>
#include <cwchar>
#include <new>

// A node of the doubly linked pointer list.
struct WStrNode {
    WStrNode* next;
    WStrNode* prev;
    void* data;
};

// Doubly linked list of pointers whose nodes are carved from blocks of
// `m_blockSize` nodes; freed nodes go to a free chain and are reused.
class PtrList {
public:
    explicit PtrList(size_t blockSize) : m_blockSize(blockSize ? blockSize : 10) {}
    ~PtrList() { RemoveAll(); }

    WStrNode* AddTail(void* data) {
        WStrNode* node = NewNode();
        node->data = data;
        node->next = nullptr;
        node->prev = m_tail;
        if (m_tail) m_tail->next = node;
        else m_head = node;
        m_tail = node;
        ++m_count;
        return node;
    }
    WStrNode* Head() const { return m_head; }
    size_t Count() const { return m_count; }
    // Frees the node blocks (not the data).
    void RemoveAll() {
        while (m_blocks) {
            Block* next = m_blocks->next;
            ::operator delete(m_blocks);
            m_blocks = next;
        }
        m_head = m_tail = m_free = nullptr;
        m_count = 0;
    }

private:
    struct Block {
        Block* next;
    };
    WStrNode* NewNode() {
        if (!m_free) {
            auto* block = static_cast<Block*>(::operator new(sizeof(Block) + m_blockSize * sizeof(WStrNode)));
            block->next = m_blocks;
            m_blocks = block;
            auto* nodes = reinterpret_cast<WStrNode*>(block + 1);
            for (size_t i = m_blockSize; i-- > 0;) {
                nodes[i].next = m_free;
                m_free = &nodes[i];
            }
        }
        WStrNode* node = m_free;
        m_free = node->next;
        return node;
    }

    size_t m_blockSize;
    WStrNode* m_head = nullptr;
    WStrNode* m_tail = nullptr;
    WStrNode* m_free = nullptr;
    Block* m_blocks = nullptr;
    size_t m_count = 0;
};

WStrList::WStrList() : m_list(new PtrList(10)) {}

WStrList::~WStrList() {
    RemoveAll();
    delete m_list;
}

WStrList::Position WStrList::Add(const void* text, int wide) {
    assert(text);
    size_t bytes = wide ? (std::wcslen(static_cast<const wchar_t*>(text)) + 1) * sizeof(wchar_t)
                        : std::strlen(static_cast<const char*>(text)) + 1;
    // Plain new: running out of memory here ends the program.
    char* copy = new char[bytes];
    std::memcpy(copy, text, bytes);
    return m_list->AddTail(copy);
}

size_t WStrList::GetCount() const { return m_list->Count(); }

WStrList::Position WStrList::FindIndex(size_t index) const {
    if (index >= m_list->Count()) return nullptr;
    WStrNode* node = m_list->Head();
    while (index-- && node) node = node->next;
    return node;
}

const void* WStrList::GetAt(Position position) const {
    assert(position);
    return position->data;
}

WStrList::Position WStrList::GetHeadPosition() const { return m_list->Head(); }

WStrList::Position WStrList::GetNext(Position position) {
    assert(position);
    return position->next;
}

const void* WStrList::GetHead() const {
    assert(m_list->Head());
    return m_list->Head()->data;
}

void WStrList::RemoveAll() {
    for (WStrNode* node = m_list->Head(); node; node = node->next) delete[] static_cast<char*>(node->data);
    m_list->RemoveAll();
}
