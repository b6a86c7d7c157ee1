// The registry fix lists applied to the hive files of an offline Windows
// volume through hivex: HKLM to SOFTWARE, HKCR to its Classes, the per-user
// rows to the NTUSER.DAT of every listed profile (as HKEY_USERS\<sid>).
#pragma once
#include <hivex.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fix/fix_lists_core.h"
#include "linux/unique_fd.h"

namespace native {

inline bool CloseHive(hive_h* h) noexcept { return hivex_close(h) == 0; }

// One hive file opened for writing in memory; changes reach the file only
// through Commit.
class Hive {
public:
    static std::unique_ptr<Hive> Open(const std::string& path);
    hive_h* get() const { return m_hive.get(); }
    const std::string& path() const { return m_path; }
    bool dirty = false;
    // The whole hive as it would be written, in a temporary file beside it,
    // read back; false when hivex cannot write it.
    bool Serialize(std::vector<uint8_t>& out);
    // The node at a backslash-separated path below the root (names matched
    // ignoring case); 0 when missing.
    hive_node_h Find(const std::string& path);

private:
    Hive(hive_h* h, std::string path) : m_hive(h), m_path(std::move(path)) {}
    posix::Unique<NullEmptyPolicy<hive_h*, &CloseHive>> m_hive;
    std::string m_path;
};

// The value's text: strings are UTF-16LE in a hive; code units above 0xFF
// become '?'. Other types are returned as they are.
std::vector<uint8_t> AnsiFromHive(uint32_t type, const char* data, size_t size);
std::vector<uint8_t> HiveFromAnsi(uint32_t type, const uint8_t* data, size_t size);

class HiveStore : public regfix::RegistryStore {
public:
    HiveStore(Hive* software, std::map<std::string, Hive*> users) : m_software(software), m_users(std::move(users)) {}
    std::vector<std::string> UserKeys() override;
    std::vector<std::string> SweepKeys() override { return {}; }
    std::unique_ptr<regfix::RegistryKey> Open(uintptr_t root, const std::string& subPath) override;
    bool DeleteKeyTree(uintptr_t root, const std::string& subPath) override;

private:
    // The hive and the path inside it that root\subPath names.
    Hive* Locate(uintptr_t root, const std::string& subPath, std::string& inside);

    Hive* m_software;
    std::map<std::string, Hive*> m_users;
};

}  // namespace native
