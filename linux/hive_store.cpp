#include "linux/hive_store.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fix/registry_core.h"

namespace native {

namespace {

constexpr uintptr_t kClassesRoot = 0x80000000u;
constexpr uintptr_t kLocalMachine = 0x80000002u;
constexpr uint32_t kRegMultiSz = 7;

bool IsText(uint32_t type) {
    return type == regcore::kRegSz || type == regcore::kRegExpandSz || type == kRegMultiSz;
}

// "Software\Rest" -> "Rest" (the SOFTWARE hive's own root), ignoring case.
bool StripHead(const std::string& path, const char* head, std::string& rest) {
    size_t n = std::strlen(head);
    if (path.size() < n || strncasecmp(path.c_str(), head, n) != 0) return false;
    if (path.size() == n) {
        rest.clear();
        return true;
    }
    if (path[n] != '\\') return false;
    rest = path.substr(n + 1);
    return true;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

class HiveKey : public regfix::RegistryKey {
public:
    HiveKey(Hive& hive, hive_node_h node) : m_hive(hive), m_node(node) {}

    bool FirstValueName(std::string& name) override {
        std::unique_ptr<hive_value_h, FreeDeleter> values(hivex_node_values(m_hive.get(), m_node));
        if (!values || !values.get()[0]) return false;
        std::unique_ptr<char, FreeDeleter> key(hivex_value_key(m_hive.get(), values.get()[0]));
        if (!key) return false;
        name = key.get();
        return true;
    }
    bool Read(const char* name, uint32_t& type, std::vector<uint8_t>& data) override {
        hive_value_h value = hivex_node_get_value(m_hive.get(), m_node, name);
        if (!value) return false;
        hive_type t;
        size_t size = 0;
        std::unique_ptr<char, FreeDeleter> raw(hivex_value_value(m_hive.get(), value, &t, &size));
        if (!raw) return false;
        type = static_cast<uint32_t>(t);
        data = AnsiFromHive(type, raw.get(), size);
        return true;
    }
    bool Write(const char* name, uint32_t type, const uint8_t* data, size_t size) override {
        std::vector<uint8_t> stored = HiveFromAnsi(type, data, size);
        hive_set_value v{const_cast<char*>(name), static_cast<hive_type>(type), stored.size(),
                         reinterpret_cast<char*>(stored.data())};
        if (hivex_node_set_value(m_hive.get(), m_node, &v, 0) != 0) return false;
        m_hive.dirty = true;
        return true;
    }
    // hivex sets a key's values as a whole: the others are written back as they are.
    bool DeleteValue(const char* name) override {
        std::unique_ptr<hive_value_h, FreeDeleter> values(hivex_node_values(m_hive.get(), m_node));
        if (!values) return false;
        std::vector<std::unique_ptr<char, FreeDeleter>> keep;
        std::vector<hive_set_value> rest;
        bool found = false;
        for (hive_value_h* v = values.get(); *v; ++v) {
            std::unique_ptr<char, FreeDeleter> key(hivex_value_key(m_hive.get(), *v));
            if (!key) return false;
            if (!found && strcasecmp(key.get(), name) == 0) {
                found = true;
                continue;
            }
            hive_type t;
            size_t size = 0;
            std::unique_ptr<char, FreeDeleter> raw(hivex_value_value(m_hive.get(), *v, &t, &size));
            if (!raw) return false;
            rest.push_back({key.get(), t, size, raw.get()});
            keep.push_back(std::move(key));
            keep.push_back(std::move(raw));
        }
        if (!found || hivex_node_set_values(m_hive.get(), m_node, rest.size(), rest.data(), 0) != 0) return false;
        m_hive.dirty = true;
        return true;
    }

private:
    Hive& m_hive;
    hive_node_h m_node;
};

}  // namespace

std::unique_ptr<Hive> Hive::Open(const std::string& path) {
    // Only a regular file is read: opening a pipe or a device could block
    // for ever. hivex is then given the file that was checked, not the name.
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    const std::string checked = "/proc/self/fd/" + std::to_string(fd.get());
    hive_h* h = hivex_open(::access(checked.c_str(), R_OK) == 0 ? checked.c_str() : path.c_str(), HIVEX_OPEN_WRITE);
    if (!h) return nullptr;
    return std::unique_ptr<Hive>(new Hive(h, path));
}

hive_node_h Hive::Find(const std::string& path) {
    hive_node_h node = hivex_root(get());
    size_t at = 0;
    while (node && at < path.size()) {
        size_t end = path.find('\\', at);
        if (end == std::string::npos) end = path.size();
        std::string name = path.substr(at, end - at);
        if (!name.empty()) node = hivex_node_get_child(get(), node, name.c_str());
        at = end + 1;
    }
    return node;
}

bool Hive::Serialize(std::vector<uint8_t>& out) {
    std::string temp = m_path + ".hiveXXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    posix::UniqueFd owner(fd);
    bool ok = hivex_commit(get(), temp.c_str(), 0) == 0;
    struct stat st;
    ok = ok && ::fstat(fd, &st) == 0;
    if (ok) {
        out.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (ok && done < out.size()) {
            ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
    }
    ::unlink(temp.c_str());
    return ok;
}

std::vector<uint8_t> AnsiFromHive(uint32_t type, const char* data, size_t size) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    if (!IsText(type)) return std::vector<uint8_t>(bytes, bytes + size);
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint32_t unit = bytes[i] | (uint32_t{bytes[i + 1]} << 8);
        out.push_back(unit <= 0xFF ? static_cast<uint8_t>(unit) : '?');
    }
    return out;
}

std::vector<uint8_t> HiveFromAnsi(uint32_t type, const uint8_t* data, size_t size) {
    if (!IsText(type)) return std::vector<uint8_t>(data, data + size);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < size; ++i) {
        out.push_back(data[i]);
        out.push_back(0);
    }
    return out;
}

std::vector<std::string> HiveStore::UserKeys() {
    std::vector<std::string> keys;
    for (const auto& [sid, hive] : m_users) keys.push_back(sid);
    return keys;
}

Hive* HiveStore::Locate(uintptr_t root, const std::string& subPath, std::string& inside) {
    if (root == kLocalMachine) return StripHead(subPath, "SOFTWARE", inside) ? m_software : nullptr;
    if (root == kClassesRoot) {
        inside = subPath.empty() ? "Classes" : "Classes\\" + subPath;
        return m_software;
    }
    if (root == regfix::kUsersRoot) {
        size_t slash = subPath.find('\\');
        std::string sid = subPath.substr(0, slash);
        for (auto& [name, hive] : m_users) {
            if (strcasecmp(name.c_str(), sid.c_str()) != 0) continue;
            inside = slash == std::string::npos ? std::string() : subPath.substr(slash + 1);
            return hive;
        }
    }
    return nullptr;
}

std::unique_ptr<regfix::RegistryKey> HiveStore::Open(uintptr_t root, const std::string& subPath) {
    std::string inside;
    Hive* hive = Locate(root, subPath, inside);
    if (!hive) return nullptr;
    hive_node_h node = hive->Find(inside);
    if (!node) return nullptr;
    return std::make_unique<HiveKey>(*hive, node);
}

bool HiveStore::DeleteKeyTree(uintptr_t root, const std::string& subPath) {
    std::string inside;
    Hive* hive = Locate(root, subPath, inside);
    if (!hive || inside.empty()) return false;   // a hive's own root stays
    hive_node_h node = hive->Find(inside);
    if (!node || hivex_node_delete_child(hive->get(), node) != 0) return false;
    hive->dirty = true;
    return true;
}

}  // namespace native
