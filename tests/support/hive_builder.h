// Hive files for the tests, made here: an empty hive written byte by byte
// (hivex cannot start one from nothing), then keys and values added through
// hivex itself. Nothing comes from a real Windows installation.
#pragma once
#include <hivex.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/native_support.h"

namespace ht {

using samples::PutU16;
using samples::PutU32;

// A hive whose root key (with a security cell that new keys inherit) has
// no subkeys and no values.
inline bool WriteEmptyHive(const std::string& path) {
    samples::Bytes b(0x2000, 0);
    std::memcpy(&b[0], "regf", 4);
    // Equal sequence numbers (a consistent hive), version 1.3, the root cell
    // at 0x20 of the bins, which take 0x1000 bytes.
    for (auto [at, v] : {std::pair{0x04, 1}, {0x08, 1}, {0x14, 1}, {0x18, 3}, {0x20, 1}, {0x24, 0x20}, {0x28, 0x1000},
                         {0x2C, 1}})
        PutU32(b, at, v);
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) sum ^= samples::GetU32(b, i);
    PutU32(b, 0x1FC, sum);

    const size_t bin = 0x1000;
    std::memcpy(&b[bin], "hbin", 4);
    PutU32(b, bin + 0x08, 0x1000);
    // Root key cell at 0x20: "nk", flags root | no delete | ASCII name, no
    // parent, subkeys, values or class; security cell at 0x78.
    size_t nk = bin + 0x20 + 4;
    PutU32(b, nk - 4, uint32_t(-0x58));
    std::memcpy(&b[nk], "nk", 2);
    PutU16(b, nk + 0x02, 0x2C);
    for (size_t at : {0x1C, 0x20, 0x28, 0x30}) PutU32(b, nk + at, 0xFFFFFFFF);
    PutU32(b, nk + 0x2C, 0x78);
    PutU16(b, nk + 0x48, 4);
    std::memcpy(&b[nk + 0x4C], "ROOT", 4);
    // Security cell at 0x78: linked to itself, an empty self-relative descriptor.
    size_t sk = bin + 0x78 + 4;
    PutU32(b, sk - 4, uint32_t(-0x30));
    std::memcpy(&b[sk], "sk", 2);
    for (auto [at, v] : {std::pair{0x04, 0x78}, {0x08, 0x78}, {0x0C, 1}, {0x10, 20}}) PutU32(b, sk + at, v);
    b[sk + 0x14] = 1;                  // revision
    PutU16(b, sk + 0x16, 0x8000);      // self-relative
    // The rest of the bin is one free cell.
    PutU32(b, bin + 0xA8, 0x1000 - 0xA8);
    return nt::WriteBytes(path, b);
}

// The key at a backslash-separated path below the root; missing keys are
// made when `create` is set, otherwise 0 is returned.
inline hive_node_h Node(hive_h* h, const std::string& path, bool create) {
    hive_node_h node = hivex_root(h);
    for (size_t at = 0, end = 0; node && at < path.size(); at = end + 1) {
        end = std::min(path.find('\\', at), path.size());
        const std::string name = path.substr(at, end - at);
        hive_node_h child = hivex_node_get_child(h, node, name.c_str());
        node = child || !create ? child : hivex_node_add_child(h, node, name.c_str());
    }
    return node;
}

// A value for WriteHive: a string as Windows stores it (UTF-16LE with its
// terminator), or a DWORD.
struct Value {
    Value(std::string key, const char* name, const std::string& text, hive_type type = hive_t_REG_SZ)
        : key(std::move(key)), name(name), type(type) {
        for (char c : text) data.insert(data.end(), {static_cast<uint8_t>(c), 0});
        data.insert(data.end(), {0, 0});
    }
    Value(std::string key, const char* name, uint32_t dword)
        : key(std::move(key)), name(name), type(hive_t_REG_DWORD), data(4) {
        PutU32(data, 0, dword);
    }
    std::string key;
    const char* name;
    hive_type type;
    samples::Bytes data;
};

// A hive at path holding the values (their keys made as needed) through hivex.
inline bool WriteHive(const std::string& path, const std::vector<Value>& values) {
    hive_h* h = WriteEmptyHive(path) ? hivex_open(path.c_str(), HIVEX_OPEN_WRITE) : nullptr;
    bool ok = h != nullptr;
    for (const Value& v : values) {
        hive_set_value set{const_cast<char*>(v.name), v.type, v.data.size(),
                           const_cast<char*>(reinterpret_cast<const char*>(v.data.data()))};
        hive_node_h node = ok ? Node(h, v.key, true) : 0;
        ok = node && hivex_node_set_value(h, node, &set, 0) == 0;
    }
    ok = ok && hivex_commit(h, path.c_str(), 0) == 0;
    if (h) hivex_close(h);
    return ok;
}

// The value names of a key, read back through a fresh hivex handle.
inline std::vector<std::string> ValueNames(const std::string& hive, const std::string& key) {
    hive_h* h = hivex_open(hive.c_str(), 0);
    if (!h) return {"(hive does not open)"};
    std::vector<std::string> names;
    hive_node_h node = Node(h, key, false);
    if (hive_value_h* values = node ? hivex_node_values(h, node) : nullptr) {
        for (hive_value_h* v = values; *v; ++v) {
            char* name = hivex_value_key(h, *v);
            names.push_back(name);
            std::free(name);
        }
        std::free(values);
    }
    hivex_close(h);
    return names;
}

}  // namespace ht
