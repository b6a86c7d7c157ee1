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

#include "app/log_core.h"
#include "app/threat_definition.h"

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
    virtual bool DeleteKeyTree(uintptr_t root, const std::string& subPath) = 0;
};

// The six lists in their order (only the first restore entry), each entry
// resolved to its targets; every fix is one log line and one count.
void ApplyFixLists(const ThreatDefinition& def, RegistryStore& store, RunLog& log, uint32_t& fixed);

}  // namespace regfix
