// The registry fix lists of the threat definition, walked over a small
// registry interface: the live registry of the Windows program and the hive
// files of an offline Windows volume share the lists' semantics and lines.
// Portable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run/log_core.h"
#include "run/threat_definition.h"

namespace regfix {

// HKEY_USERS as the alias table stores it; the per-user rows are applied under it.
constexpr uintptr_t kUsersRoot = 0x80000003u;

// One open key.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    // The name of the first value the key enumerates; false when it has none.
    virtual bool FirstValueName(std::string& name) = 0;
    // The whole value (strings as ANSI text, terminator as stored); false
    // when it is missing or cannot be read. name empty: the default value.
    virtual bool Read(const char* name, uint32_t& type, std::vector<uint8_t>& data) = 0;
    virtual bool Write(const char* name, uint32_t type, const uint8_t* data, size_t size) = 0;
    virtual bool DeleteValue(const char* name) = 0;
};

class RegistryStore {
public:
    virtual ~RegistryStore() = default;
    // The user keys under HKEY_USERS that the per-user rows reach.
    virtual std::vector<std::string> UserKeys() = 0;
    // The profiles swept after the user keys ("allvalues" taken literally);
    // empty when there is no sweep.
    virtual std::vector<std::string> SweepKeys() = 0;
    // root\subPath opened for reading and writing; null when it cannot be.
    virtual std::unique_ptr<RegistryKey> Open(uintptr_t root, const std::string& subPath) = 0;
    // Whether the last Open gave no key because the key is there but refused
    // access; a store without access control never refuses.
    virtual bool LastOpenRefused() const { return false; }
    virtual bool DeleteKeyTree(uintptr_t root, const std::string& subPath) = 0;
};

// Where a walk over the lists writes: every fix is one log line and one
// count; an entry whose key refused access, one warning line and one count
// of what could not be fixed (when notFixed is given).
struct FixOutput {
    RunLog& log;
    uint32_t& fixed;
    uint32_t* notFixed = nullptr;
    void Fixed(const std::string& line);
    void NotFixed(const std::string& line);
};

// One target of a list entry, as ForEachRegistryTarget hands it to an action.
struct RegistryTarget {
    RegistryStore& store;
    int aliasRow;               // the RootKeyAliases row of the entry path
    uintptr_t root;             // the root of subPath
    RegistryKey* key;           // the open key; null for an entry that names the key itself
    const char* valueName;      // after the "@" and "allvalues" rules
    const char* entryPath;      // as written in the list
    const char* entryValueName;
    const char* subPath;        // per-user rows: user key, "\", the rest
    bool perUser;
};

// The action on one target; true when it fixed something.
using TargetAction = bool (*)(FixOutput& out, const RegistryTarget& target, const void* param);

// Resolves one list entry into its targets (for the per-user rows every user
// key, then every swept profile) and calls the action for each; a target
// whose key does not open is skipped, one that refuses access is warned of
// once per entry. True when some action fixed something.
bool ForEachRegistryTarget(const ThreatDefinition& def, RegistryStore& store, FixOutput& out,
                           const char* entryPath, const char* entryValueName, TargetAction action,
                           const void* param);

// The six lists in their order (only the first restore entry), each entry
// resolved to its targets; every fix is one log line and one count.
void ApplyFixLists(const ThreatDefinition& def, RegistryStore& store, RunLog& log, uint32_t& fixed,
                   uint32_t* notFixed = nullptr);

}  // namespace regfix
