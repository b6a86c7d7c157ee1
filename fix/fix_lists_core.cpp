#include "fix/fix_lists_core.h"

#include <cstring>

#include "fix/registry_core.h"

namespace regfix {

namespace {

using regcore::kRegistryTextBytes;
using regcore::ValueNameKind;

// One target of an entry, as an action receives it.
struct Target {
    RegistryStore& store;
    uintptr_t root;             // the root of subPath (for key-level entries)
    RegistryKey* key;           // the open key; null for key-level entries
    const char* valueName;      // after the "@" and "allvalues" rules
    const char* entryPath;      // as written in the list
    const char* entryValueName;
    const char* subPath;        // per-user rows: user key, "\", the rest
    bool perUser;
};

struct Output {
    RunLog& log;
    uint32_t& fixed;
    void Count(const std::string& line) {
        ++fixed;
        log.Line(line.c_str());
    }
};

using Action = void (*)(Output& out, const Target& t, const void* entry);

std::string Prefix(const Target& t) { return regcore::LinePrefix(t.perUser, t.subPath, t.entryPath); }

// The value when it exists and fits in `limit` bytes, zero-filled up to limit.
bool ReadSmall(const Target& t, size_t limit, uint32_t& type, std::vector<uint8_t>& data) {
    if (!t.key || !t.key->Read(t.valueName, type, data) || data.size() > limit) return false;
    data.resize(limit, 0);
    return true;
}

uint32_t Dword(const std::vector<uint8_t>& d) {
    return d[0] | (uint32_t{d[1]} << 8) | (uint32_t{d[2]} << 16) | (uint32_t{d[3]} << 24);
}

bool WriteDword(const Target& t, uint32_t value) {
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return t.key->Write(t.valueName, regcore::kRegDword, bytes, sizeof bytes);
}

void DeleteAction(Output& out, const Target& t, const void*) {
    if (!*t.entryValueName) {
        if (t.store.DeleteKeyTree(t.root, t.subPath)) out.Count(regcore::KeyDeletedLine(Prefix(t)));
        return;
    }
    if (t.key->DeleteValue(t.valueName)) out.Count(regcore::ValueDeletedLine(Prefix(t), t.entryValueName));
}

void DwordDeleteAction(Output& out, const Target& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryDword*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadSmall(t, 4, type, data) || type != regcore::kRegDword || Dword(data) != e.value) return;
    if (t.key->DeleteValue(t.valueName)) out.Count(regcore::ValueDeletedLine(Prefix(t), t.entryValueName));
}

void DwordSetAction(Output& out, const Target& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryDword*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadSmall(t, 4, type, data) || Dword(data) == e.value || !WriteDword(t, e.value)) return;
    out.Count(regcore::DwordSetLine(Prefix(t), t.entryValueName, e.value));
}

void DwordReplaceAction(Output& out, const Target& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryDwordReplace*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadSmall(t, 4, type, data)) return;
    uint32_t now = Dword(data);
    if (now == e.newValue || now != e.oldValue || !WriteDword(t, e.newValue)) return;
    out.Count(regcore::DwordSetLine(Prefix(t), t.entryValueName, e.newValue));
}

void StringSetAction(Output& out, const Target& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryString*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    // One more byte for a terminator the data may lack.
    if (!ReadSmall(t, kRegistryTextBytes, type, data)) return;
    data.push_back(0);
    if (regcore::EqualsIgnoreCaseAscii(reinterpret_cast<const char*>(data.data()), e.value)) return;
    if (!t.key->Write(t.valueName, regcore::kRegSz, reinterpret_cast<const uint8_t*>(e.value), std::strlen(e.value) + 1))
        return;
    out.Count(regcore::StringSetLine(Prefix(t), t.entryValueName, e.value));
}

void RestoreAction(Output& out, const Target& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryRestore*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!t.key || !t.key->Read(t.valueName, type, data)) return;
    if (!regcore::RestoreWanted(e, type, data.data(), data.size())) return;
    bool defaultValue = !*t.valueName;
    if (!t.key->Write(t.valueName, e.type, e.newData, e.newLength)) {
        out.log.Line(regcore::RestoreFailedLine(e.keyPath, e.valueName, defaultValue).c_str());
        return;
    }
    out.Count(regcore::RestoredLine(t.perUser, t.subPath, e.keyPath, e.valueName, defaultValue));
}

// Only deletion gives an entry without a value name a meaning (the key tree);
// the other actions would otherwise reach the root's own default value.
bool KeyLevelAllowed(Action action) { return action == DeleteAction; }

void ApplyToTarget(Output& out, RegistryStore& store, bool perUser, uintptr_t root, const std::string& subPath,
                   const char* entryPath, const char* entryValueName, bool literalAllValues, Action action,
                   const void* entry) {
    Target target{store, root, nullptr, "", entryPath, entryValueName, subPath.c_str(), perUser};
    ValueNameKind kind = regcore::ClassifyValueName(entryValueName, literalAllValues);
    if (kind == ValueNameKind::Key) {
        if (KeyLevelAllowed(action)) action(out, target, entry);
        return;
    }
    std::unique_ptr<RegistryKey> key = store.Open(root, subPath);
    if (!key) return;
    std::string first;
    if (kind == ValueNameKind::FirstValue) {
        if (!key->FirstValueName(first)) return;
        target.valueName = first.c_str();
    } else if (kind == ValueNameKind::Named) {
        target.valueName = entryValueName;
    }
    target.key = key.get();
    action(out, target, entry);
}

void ForEachTarget(Output& out, const ThreatDefinition& def, RegistryStore& store, const char* entryPath,
                   const char* entryValueName, Action action, const void* entry) {
    regcore::AliasMatch match = regcore::FindRootKeyAlias(def.rootKeyAliases, entryPath);
    if (!match.alias) return;
    if (!entryValueName) entryValueName = "";
    if (!match.alias->perUser) {
        ApplyToTarget(out, store, false, match.alias->rootKey, match.rest, entryPath, entryValueName, false, action,
                      entry);
        return;
    }
    // The user keys are read before any action runs, so that what an action
    // removes cannot shift the enumeration.
    std::string subPath;
    for (const std::string& user : store.UserKeys()) {
        if (!regcore::JoinKeyPath(user.c_str(), match.rest, subPath)) continue;
        ApplyToTarget(out, store, true, kUsersRoot, subPath, entryPath, entryValueName, false, action, entry);
    }
    for (const std::string& profile : store.SweepKeys()) {
        if (!regcore::JoinKeyPath(profile.c_str(), match.rest, subPath)) continue;
        ApplyToTarget(out, store, true, kUsersRoot, subPath, entryPath, entryValueName, true, action, entry);
    }
}

template <typename Entry>
void ForEachEntry(Output& out, const ThreatDefinition& def, RegistryStore& store, const Entry* list, Action action) {
    for (const Entry* e = list; e && e->keyPath; ++e) ForEachTarget(out, def, store, e->keyPath, e->valueName, action, e);
}

}  // namespace

void ApplyFixLists(const ThreatDefinition& def, RegistryStore& store, RunLog& log, uint32_t& fixed) {
    Output out{log, fixed};
    ForEachEntry(out, def, store, def.registryDeleteList, DeleteAction);
    ForEachEntry(out, def, store, def.registryDwordDeleteList, DwordDeleteAction);
    ForEachEntry(out, def, store, def.registryDwordSetList, DwordSetAction);
    ForEachEntry(out, def, store, def.registryDwordReplaceList, DwordReplaceAction);
    ForEachEntry(out, def, store, def.registryStringSetList, StringSetAction);
    if (def.registryRestoreList && def.registryRestoreList->keyPath) {
        const ThreatRegistryRestore& first = *def.registryRestoreList;
        ForEachTarget(out, def, store, first.keyPath, first.valueName, RestoreAction, &first);
    }
}

}  // namespace regfix
