// Hive files for the tests, made here: an empty hive written byte by byte
// (hivex cannot start one from nothing), then keys and values added through
// hivex itself. Nothing comes from a real Windows installation.
#pragma once
#include <hivex.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace ht {

inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
inline void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

// A hive whose root key (with a security cell that new keys inherit) has
// no subkeys and no values.
inline bool WriteEmptyHive(const std::string& path) {
    std::vector<uint8_t> b(0x2000, 0);
    std::memcpy(&b[0], "regf", 4);
    Put32(b, 0x04, 1);       // sequence numbers, equal: the hive is consistent
    Put32(b, 0x08, 1);
    Put32(b, 0x14, 1);       // version 1.3
    Put32(b, 0x18, 3);
    Put32(b, 0x20, 1);
    Put32(b, 0x24, 0x20);    // root cell, from the first bin
    Put32(b, 0x28, 0x1000);  // size of the bins
    Put32(b, 0x2C, 1);
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) sum ^= b[i] | b[i + 1] << 8 | b[i + 2] << 16 | uint32_t(b[i + 3]) << 24;
    Put32(b, 0x1FC, sum);

    const size_t bin = 0x1000;
    std::memcpy(&b[bin], "hbin", 4);
    Put32(b, bin + 0x08, 0x1000);
    // Root key cell at 0x20: "nk", flags root | no delete | ASCII name.
    size_t nk = bin + 0x20;
    Put32(b, nk, uint32_t(-0x58));
    std::memcpy(&b[nk + 4], "nk", 2);
    Put16(b, nk + 4 + 0x02, 0x2C);
    Put32(b, nk + 4 + 0x1C, 0xFFFFFFFF);
    Put32(b, nk + 4 + 0x20, 0xFFFFFFFF);
    Put32(b, nk + 4 + 0x28, 0xFFFFFFFF);
    Put32(b, nk + 4 + 0x2C, 0x78);
    Put32(b, nk + 4 + 0x30, 0xFFFFFFFF);
    Put16(b, nk + 4 + 0x48, 4);
    std::memcpy(&b[nk + 4 + 0x4C], "ROOT", 4);
    // Security cell at 0x78: linked to itself, an empty self-relative descriptor.
    size_t sk = bin + 0x78;
    Put32(b, sk, uint32_t(-0x30));
    std::memcpy(&b[sk + 4], "sk", 2);
    Put32(b, sk + 4 + 0x04, 0x78);
    Put32(b, sk + 4 + 0x08, 0x78);
    Put32(b, sk + 4 + 0x0C, 1);
    Put32(b, sk + 4 + 0x10, 20);
    b[sk + 4 + 0x14] = 1;                     // revision
    Put16(b, sk + 4 + 0x16, 0x8000);          // self-relative
    // The rest of the bin is one free cell.
    Put32(b, bin + 0xA8, 0x1000 - 0xA8);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return static_cast<bool>(out);
}

// The hive at path, open for writing; keys and values are added by path.
class HiveWriter {
public:
    explicit HiveWriter(const std::string& path) : m_path(path) {
        if (WriteEmptyHive(path)) m_h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    }
    ~HiveWriter() {
        if (m_h) hivex_close(m_h);
    }
    bool ok() const { return m_h != nullptr; }
    // Creates the keys of a backslash-separated path as needed.
    hive_node_h Key(const std::string& path) {
        hive_node_h node = hivex_root(m_h);
        size_t at = 0;
        while (node && at < path.size()) {
            size_t end = path.find('\\', at);
            if (end == std::string::npos) end = path.size();
            std::string name = path.substr(at, end - at);
            hive_node_h child = hivex_node_get_child(m_h, node, name.c_str());
            node = child ? child : hivex_node_add_child(m_h, node, name.c_str());
            at = end + 1;
        }
        return node;
    }
    bool Set(const std::string& key, const char* name, hive_type type, const std::vector<uint8_t>& data) {
        hive_set_value v{const_cast<char*>(name), type, data.size(),
                         const_cast<char*>(reinterpret_cast<const char*>(data.data()))};
        hive_node_h node = Key(key);
        return node && hivex_node_set_value(m_h, node, &v, 0) == 0;
    }
    // A string value as Windows stores it: UTF-16LE with its terminator.
    bool SetText(const std::string& key, const char* name, const std::string& text, hive_type type = hive_t_REG_SZ) {
        std::vector<uint8_t> data;
        for (char c : text) {
            data.push_back(static_cast<uint8_t>(c));
            data.push_back(0);
        }
        data.insert(data.end(), {0, 0});
        return Set(key, name, type, data);
    }
    bool Commit() { return hivex_commit(m_h, m_path.c_str(), 0) == 0; }

private:
    std::string m_path;
    hive_h* m_h = nullptr;
};

}  // namespace ht
