#include "fix/fix_lists_core.h"

#include <cstring>

#include "fix/registry_core.h"

namespace regfix {

void FixOutput::Fixed(const std::string& line) {
    ++fixed;
    log.Line(line.c_str());
}

void FixOutput::NotFixed(const std::string& line) {
    if (notFixed) ++*notFixed;
    log.Line(line.c_str());
}

namespace {

using regcore::kRegistryTextBytes;
using regcore::ValueNameKind;

std::string Prefix(const RegistryTarget& t) { return regcore::LinePrefix(t.perUser, t.subPath, t.entryPath); }

// The value when it exists and fits in `limit` bytes, zero-filled up to limit.
bool ReadSmall(const RegistryTarget& t, size_t limit, uint32_t& type, std::vector<uint8_t>& data) {
    if (!t.key || !t.key->Read(t.valueName, type, data) || data.size() > limit) return false;
    data.resize(limit, 0);
    return true;
}

uint32_t Dword(const std::vector<uint8_t>& d) {
    return d[0] | (uint32_t{d[1]} << 8) | (uint32_t{d[2]} << 16) | (uint32_t{d[3]} << 24);
}

bool WriteDword(const RegistryTarget& t, uint32_t value) {
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return t.key->Write(t.valueName, regcore::kRegDword, bytes, sizeof bytes);
}

// Only deletion gives an entry without a value name a meaning (the key tree);
// the other actions have no key then and do nothing.
bool DeleteAction(FixOutput& out, const RegistryTarget& t, const void*) {
    if (!*t.entryValueName) {
        if (!t.store.DeleteKeyTree(t.root, t.subPath)) return false;
        out.Fixed(regcore::KeyDeletedLine(Prefix(t)));
        return true;
    }
    if (!t.key || !t.key->DeleteValue(t.valueName)) return false;
    out.Fixed(regcore::ValueDeletedLine(Prefix(t), t.entryValueName));
    return true;
}

bool DwordDeleteAction(FixOutput& out, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryDword*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadSmall(t, 4, type, data) || type != regcore::kRegDword || Dword(data) != e.value) return false;
    if (!t.key->DeleteValue(t.valueName)) return false;
    out.Fixed(regcore::ValueDeletedLine(Prefix(t), t.entryValueName));
    return true;
}

bool DwordSetAction(FixOutput& out, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryDword*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadSmall(t, 4, type, data) || Dword(data) == e.value || !WriteDword(t, e.value)) return false;
    out.Fixed(regcore::DwordSetLine(Prefix(t), t.entryValueName, e.value));
    return true;
}

bool DwordReplaceAction(FixOutput& out, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryDwordReplace*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadSmall(t, 4, type, data)) return false;
    uint32_t now = Dword(data);
    if (now == e.newValue || now != e.oldValue || !WriteDword(t, e.newValue)) return false;
    out.Fixed(regcore::DwordSetLine(Prefix(t), t.entryValueName, e.newValue));
    return true;
}

bool StringSetAction(FixOutput& out, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryString*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    // One more byte for a terminator the data may lack.
    if (!ReadSmall(t, kRegistryTextBytes, type, data)) return false;
    data.push_back(0);
    if (regcore::EqualsIgnoreCaseAscii(reinterpret_cast<const char*>(data.data()), e.value)) return false;
    if (!t.key->Write(t.valueName, regcore::kRegSz, reinterpret_cast<const uint8_t*>(e.value), std::strlen(e.value) + 1))
        return false;
    out.Fixed(regcore::StringSetLine(Prefix(t), t.entryValueName, e.value));
    return true;
}

bool RestoreAction(FixOutput& out, const RegistryTarget& t, const void* param) {
    const auto& e = *static_cast<const ThreatRegistryRestore*>(param);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!t.key || !t.key->Read(t.valueName, type, data)) return false;
    if (!regcore::RestoreWanted(e, type, data.data(), data.size())) return false;
    bool defaultValue = !*t.valueName;
    if (!t.key->Write(t.valueName, e.type, e.newData, e.newLength)) {
        out.NotFixed(regcore::RestoreFailedLine(e.keyPath, e.valueName, defaultValue));
        return false;
    }
    out.Fixed(regcore::RestoredLine(t.perUser, t.subPath, e.keyPath, e.valueName, defaultValue));
    return true;
}

// warned: whether this entry's refusal was written already (the targets of
// a per-user entry share one entry path, so one line says it).
bool ApplyToTarget(FixOutput& out, RegistryTarget target, bool literalAllValues, bool& warned, TargetAction action,
                   const void* param) {
    ValueNameKind kind = regcore::ClassifyValueName(target.entryValueName, literalAllValues);
    if (kind == ValueNameKind::Key) return action(out, target, param);
    std::unique_ptr<RegistryKey> key = target.store.Open(target.root, target.subPath);
    if (!key) {
        // A key that is not there is silent; one that is there and keeps
        // its value out of reach is a value the run could not fix.
        if (target.store.LastOpenRefused() && !warned) {
            warned = true;
            out.NotFixed(regcore::RestoreFailedLine(target.entryPath, target.entryValueName,
                                                    kind == ValueNameKind::Default));
        }
        return false;
    }
    std::string first;
    if (kind == ValueNameKind::FirstValue) {
        if (!key->FirstValueName(first)) return false;
        target.valueName = first.c_str();
    } else if (kind == ValueNameKind::Named) {
        target.valueName = target.entryValueName;
    }
    target.key = key.get();
    return action(out, target, param);
}

template <typename Entry>
void ForEachEntry(FixOutput& out, const ThreatDefinition& def, RegistryStore& store, const Entry* list,
                  TargetAction action) {
    for (const Entry* e = list; e && e->keyPath; ++e)
        ForEachRegistryTarget(def, store, out, e->keyPath, e->valueName, action, e);
}

}  // namespace

bool ForEachRegistryTarget(const ThreatDefinition& def, RegistryStore& store, FixOutput& out,
                           const char* entryPath, const char* entryValueName, TargetAction action,
                           const void* param) {
    regcore::AliasMatch match = regcore::FindRootKeyAlias(def.rootKeyAliases, entryPath);
    if (!match.alias) return false;
    if (!entryValueName) entryValueName = "";
    bool warned = false;
    if (!match.alias->perUser) {
        RegistryTarget target{store, match.row, match.alias->rootKey, nullptr, "", entryPath, entryValueName,
                              match.rest, false};
        return ApplyToTarget(out, target, false, warned, action, param);
    }
    // The user keys are read before any action runs, so that what an action
    // removes cannot shift the enumeration.
    bool fixed = false;
    std::string subPath;
    auto visit = [&](const std::vector<std::string>& keys, bool literalAllValues) {
        for (const std::string& user : keys) {
            if (!regcore::JoinKeyPath(user.c_str(), match.rest, subPath)) continue;
            RegistryTarget target{store, match.row, kUsersRoot, nullptr, "", entryPath, entryValueName,
                                  subPath.c_str(), true};
            fixed |= ApplyToTarget(out, target, literalAllValues, warned, action, param);
        }
    };
    visit(store.UserKeys(), false);
    visit(store.SweepKeys(), true);
    return fixed;
}

void ApplyFixLists(const ThreatDefinition& def, RegistryStore& store, RunLog& log, uint32_t& fixed,
                   uint32_t* notFixed) {
    FixOutput out{log, fixed, notFixed};
    ForEachEntry(out, def, store, def.registryDeleteList, DeleteAction);
    ForEachEntry(out, def, store, def.registryDwordDeleteList, DwordDeleteAction);
    ForEachEntry(out, def, store, def.registryDwordSetList, DwordSetAction);
    ForEachEntry(out, def, store, def.registryDwordReplaceList, DwordReplaceAction);
    ForEachEntry(out, def, store, def.registryStringSetList, StringSetAction);
    if (def.registryRestoreList && def.registryRestoreList->keyPath) {
        const ThreatRegistryRestore& first = *def.registryRestoreList;
        ForEachRegistryTarget(def, store, out, first.keyPath, first.valueName, RestoreAction, &first);
    }
}

}  // namespace regfix
