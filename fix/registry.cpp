#include "fix/registry.h"

#include <cstring>

#include "app/run_context.h"
#include "fix/registry_core.h"
#include "procs/threats.h"
#include "win32/unique_handle.h"

namespace {

using regcore::kRegistryTextBytes;
using regcore::ValueNameKind;
using win32::UniqueKey;

const char kProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

HKEY RootOf(const RootKeyAlias& alias) { return reinterpret_cast<HKEY>(alias.rootKey); }

// One target of an entry: the value name rules applied, the key opened (or
// the root handed on for key-level entries), the action called.
void ApplyToTarget(RemovalRun& run, int row, bool perUser, HKEY root, const std::string& subPath,
                   const char* entryPath, const char* entryValueName, bool literalAllValues, RegistryAction action,
                   const void* param) {
    RegistryTarget target{row, root, "", entryPath, entryValueName, subPath.c_str(), perUser};
    ValueNameKind kind = regcore::ClassifyValueName(entryValueName, literalAllValues);
    if (kind == ValueNameKind::Key) {
        action(run, target, param);
        return;
    }
    UniqueKey key;
    if (RegOpenKeyExA(root, subPath.c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) return;
    char first[kRegistryTextBytes] = {};
    if (kind == ValueNameKind::FirstValue) {
        DWORD length = sizeof first;
        if (RegEnumValueA(key.get(), 0, first, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return;
        target.valueName = first;
    } else if (kind == ValueNameKind::Named) {
        target.valueName = entryValueName;
    }
    target.key = key.get();
    action(run, target, param);
}

void Count(RemovalRun& run, const std::string& line) {
    ++run.stats.registryEntriesFixed;
    run.log.Line(line.c_str());
}

// Only deletion gives an entry without a value name a meaning (the key tree);
// the other actions would otherwise reach the root's own default value.
bool KeyLevel(const RegistryTarget& t) { return !*t.entryValueName; }

std::string Prefix(const RegistryTarget& t) { return regcore::LinePrefix(t.perUser, t.subPath, t.entryPath); }

// Reads a value into `size` bytes of out (zero-filled first); false when it
// is missing or larger.
bool ReadSmallValue(HKEY key, const char* name, void* out, DWORD size, DWORD& type) {
    std::memset(out, 0, size);
    DWORD got = size;
    return RegQueryValueExA(key, name, nullptr, &type, static_cast<BYTE*>(out), &got) == ERROR_SUCCESS;
}

bool WriteDword(RemovalRun& run, const RegistryTarget& t, uint32_t value) {
    DWORD data = value;
    return run.seams.setRegistryValue(t.key, t.valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                                      sizeof data) == ERROR_SUCCESS;
}

bool DeleteAction(RemovalRun& run, const RegistryTarget& t, const void*) {
    if (!*t.entryValueName) {
        if (!DeleteKeyTree(t.key, t.subPath)) return false;
        Count(run, regcore::KeyDeletedLine(Prefix(t)));
        return true;
    }
    if (RegDeleteValueA(t.key, t.valueName) != ERROR_SUCCESS) return false;
    Count(run, regcore::ValueDeletedLine(Prefix(t), t.entryValueName));
    return true;
}

bool DwordDeleteAction(RemovalRun& run, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryDword*>(param);
    uint32_t data = 0;
    DWORD type = 0;
    if (KeyLevel(t) || !ReadSmallValue(t.key, t.valueName, &data, sizeof data, type)) return false;
    if (type != REG_DWORD || data != e.value) return false;
    if (RegDeleteValueA(t.key, t.valueName) != ERROR_SUCCESS) return false;
    Count(run, regcore::ValueDeletedLine(Prefix(t), t.entryValueName));
    return true;
}

bool DwordSetAction(RemovalRun& run, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryDword*>(param);
    uint32_t data = 0;
    DWORD type = 0;
    if (KeyLevel(t) || !ReadSmallValue(t.key, t.valueName, &data, sizeof data, type)) return false;
    if (data == e.value || !WriteDword(run, t, e.value)) return false;
    Count(run, regcore::DwordSetLine(Prefix(t), t.entryValueName, e.value));
    return true;
}

bool DwordReplaceAction(RemovalRun& run, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryDwordReplace*>(param);
    uint32_t data = 0;
    DWORD type = 0;
    if (KeyLevel(t) || !ReadSmallValue(t.key, t.valueName, &data, sizeof data, type)) return false;
    if (data == e.newValue || data != e.oldValue || !WriteDword(run, t, e.newValue)) return false;
    Count(run, regcore::DwordSetLine(Prefix(t), t.entryValueName, e.newValue));
    return true;
}

bool StringSetAction(RemovalRun& run, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryString*>(param);
    char data[kRegistryTextBytes + 1];   // one more for a terminator the data may lack
    DWORD type = 0;
    if (KeyLevel(t) || !ReadSmallValue(t.key, t.valueName, data, kRegistryTextBytes, type)) return false;
    data[kRegistryTextBytes] = '\0';
    if (regcore::EqualsIgnoreCaseAscii(data, e.value)) return false;
    if (run.seams.setRegistryValue(t.key, t.valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(e.value),
                       static_cast<DWORD>(std::strlen(e.value) + 1)) != ERROR_SUCCESS)
        return false;
    Count(run, regcore::StringSetLine(Prefix(t), t.entryValueName, e.value));
    return true;
}

bool RestoreAction(RemovalRun& run, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryRestore*>(param);
    if (KeyLevel(t)) return false;
    // The value as it is, whatever its size; a value that keeps growing
    // between the queries is left alone.
    std::vector<uint8_t> data;
    DWORD type = 0, size = 0;
    LONG result = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < 8; ++attempt) {
        size = static_cast<DWORD>(data.size());
        result = RegQueryValueExA(t.key, t.valueName, nullptr, &type, data.empty() ? nullptr : data.data(), &size);
        if ((result != ERROR_SUCCESS && result != ERROR_MORE_DATA) || data.size() >= size) break;
        data.resize(size);
    }
    if (result != ERROR_SUCCESS || size > data.size()) return false;
    if (!regcore::RestoreWanted(e, type, data.data(), size)) return false;

    bool defaultValue = !*t.valueName;
    if (run.seams.setRegistryValue(t.key, t.valueName, 0, e.type, e.newData, e.newLength) != ERROR_SUCCESS) {
        run.log.Line(regcore::RestoreFailedLine(e.keyPath, e.valueName, defaultValue).c_str());
        return false;
    }
    Count(run, regcore::RestoredLine(t.perUser, t.subPath, e.keyPath, e.valueName, defaultValue));
    return true;
}

template <typename Entry>
void ForEachEntry(RemovalRun& run, const Entry* list, RegistryAction action) {
    for (const Entry* e = list; e && e->keyPath; ++e) ForEachRegistryTarget(run, e->keyPath, e->valueName, action, e);
}

// The hive file of one listed profile: its expanded ProfileImagePath, with
// "\ntuser.dat" when that names a folder; empty when it is not recorded.
std::string ProfileHivePath(const std::string& profile) {
    std::string keyPath;
    if (!regcore::JoinKeyPath(kProfileList, profile.c_str(), keyPath)) return {};
    UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return {};
    char raw[kRegistryTextBytes + 1] = {};
    DWORD size = kRegistryTextBytes;
    if (RegQueryValueExA(key.get(), "ProfileImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(raw), &size) !=
        ERROR_SUCCESS)
        return {};
    char expanded[kRegistryTextBytes] = {};
    DWORD n = ExpandEnvironmentStringsA(raw, expanded, sizeof expanded);
    if (n == 0 || n > sizeof expanded) return {};
    std::string path = expanded;
    DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) path += "\\ntuser.dat";
    return path;
}

}  // namespace

std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    char name[kRegistryTextBytes];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

void ForEachRegistryTarget(RemovalRun& run, const char* entryPath, const char* entryValueName,
                           RegistryAction action, const void* param) {
    regcore::AliasMatch match = regcore::FindRootKeyAlias(run.def->rootKeyAliases, entryPath);
    if (!match.alias) return;
    if (!entryValueName) entryValueName = "";
    if (!match.alias->perUser) {
        std::string subPath = match.rest;
        ApplyToTarget(run, match.row, false, RootOf(*match.alias), subPath, entryPath, entryValueName, false, action,
                      param);
        return;
    }
    // The user keys are read before any action runs, so that what an action
    // removes cannot shift the enumeration.
    std::string subPath;
    for (const std::string& user : SubkeyNames(HKEY_USERS)) {
        if (!regcore::JoinKeyPath(user.c_str(), match.rest, subPath)) continue;
        ApplyToTarget(run, match.row, true, HKEY_USERS, subPath, entryPath, entryValueName, false, action, param);
    }
    if (!run.flags.isNtFamily) return;
    UniqueKey profiles;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_ENUMERATE_SUB_KEYS, profiles.put()) != ERROR_SUCCESS)
        return;
    for (const std::string& profile : SubkeyNames(profiles.get())) {
        if (!regcore::JoinKeyPath(profile.c_str(), match.rest, subPath)) continue;
        ApplyToTarget(run, match.row, true, HKEY_USERS, subPath, entryPath, entryValueName, true, action, param);
    }
}

void RunRegistryPass(RemovalRun& run) {
    const ThreatDefinition& def = *run.def;
    std::vector<std::string> loaded;
    LoadProfileHives(true, run.flags.isNtFamily, loaded);
    // The hives go back however the lists end.
    win32::ScopeGuard unload([&] { LoadProfileHives(false, run.flags.isNtFamily, loaded); });

    ForEachEntry(run, def.registryDeleteList, DeleteAction);
    ForEachEntry(run, def.registryDwordDeleteList, DwordDeleteAction);
    ForEachEntry(run, def.registryDwordSetList, DwordSetAction);
    ForEachEntry(run, def.registryDwordReplaceList, DwordReplaceAction);
    ForEachEntry(run, def.registryStringSetList, StringSetAction);
    if (def.registryRestoreList && def.registryRestoreList->keyPath) {
        const ThreatRegistryRestore& first = *def.registryRestoreList;
        ForEachRegistryTarget(run, first.keyPath, first.valueName, RestoreAction, &first);
    }
    if (run.seams.beforeHiveUnload) run.seams.beforeHiveUnload(loaded);
}

bool DeleteKeyTree(HKEY parent, const char* subPath) {
    bool granted = false;
    UniqueKey key;
    for (;;) {
        LONG r = RegOpenKeyExA(parent, subPath, 0, DELETE | KEY_ENUMERATE_SUB_KEYS, key.put());
        if (r == ERROR_ACCESS_DENIED && !granted && GrantAdministratorsKeyAccess(parent, subPath)) {
            granted = true;
            continue;
        }
        break;
    }
    if (key) {
        char name[256];
        for (;;) {
            DWORD length = sizeof name;
            if (RegEnumKeyExA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            if (!DeleteKeyTree(key.get(), name)) break;
        }
        key.reset();
    }
    return RegDeleteKeyA(parent, subPath) == ERROR_SUCCESS;
}

bool GrantAdministratorsKeyAccess(HKEY parent, const char* subPath) {
    UniqueKey key;
    if (RegOpenKeyExA(parent, subPath, 0, WRITE_DAC, key.put()) != ERROR_SUCCESS) return false;
    win32::UniqueModule advapi(LoadLibraryA("advapi32.dll"));
    if (!advapi) return false;
    auto get = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(advapi.get(), name)); };
    auto initializeSd = reinterpret_cast<BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD)>(get("InitializeSecurityDescriptor"));
    auto setDacl = reinterpret_cast<BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL)>(
        get("SetSecurityDescriptorDacl"));
    auto allocateSid = reinterpret_cast<BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD,
                                                      DWORD, DWORD, DWORD, DWORD, PSID*)>(
        get("AllocateAndInitializeSid"));
    auto initializeAcl = reinterpret_cast<BOOL(WINAPI*)(PACL, DWORD, DWORD)>(get("InitializeAcl"));
    auto addAllowed = reinterpret_cast<BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID)>(get("AddAccessAllowedAce"));
    auto freeSid = reinterpret_cast<PVOID(WINAPI*)(PSID)>(get("FreeSid"));
    if (!initializeSd || !setDacl || !allocateSid || !initializeAcl || !addAllowed || !freeSid) return false;

    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!allocateSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins))
        return false;
    win32::ScopeGuard sidGuard([&] { freeSid(admins); });
    // One ACE: the ACL header (8), the ACE header and mask (8) and the SID,
    // with room to spare.
    DWORD aclSize = GetLengthSid(admins) + 20;
    HANDLE heap = GetProcessHeap();
    PACL acl = static_cast<PACL>(HeapAlloc(heap, HEAP_ZERO_MEMORY, aclSize));
    if (!acl) return false;
    win32::ScopeGuard aclGuard([&] { HeapFree(heap, 0, acl); });
    SECURITY_DESCRIPTOR sd;
    if (!initializeAcl(acl, aclSize, ACL_REVISION) || !addAllowed(acl, ACL_REVISION, KEY_ALL_ACCESS, admins) ||
        !initializeSd(&sd, SECURITY_DESCRIPTOR_REVISION) || !setDacl(&sd, TRUE, acl, FALSE))
        return false;
    return RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &sd) == ERROR_SUCCESS;
}

void LoadProfileHives(bool load, bool ntFamily, std::vector<std::string>& loaded) {
    if (!ntFamily) return;
    if (!load) {
        for (const std::string& name : loaded) {
            if (!EnablePrivilege("SeRestorePrivilege", true)) continue;
            RegUnLoadKeyA(HKEY_USERS, name.c_str());
            EnablePrivilege("SeRestorePrivilege", false);
        }
        loaded.clear();
        return;
    }
    UniqueKey profiles;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_ENUMERATE_SUB_KEYS, profiles.put()) != ERROR_SUCCESS)
        return;
    for (const std::string& profile : SubkeyNames(profiles.get())) {
        std::string hive = ProfileHivePath(profile);
        if (hive.empty() || !EnablePrivilege("SeRestorePrivilege", true)) continue;
        if (RegLoadKeyA(HKEY_USERS, profile.c_str(), hive.c_str()) == ERROR_SUCCESS) loaded.push_back(profile);
        EnablePrivilege("SeRestorePrivilege", false);
    }
}
