#include "fix/registry_core.h"

#include <cstdio>
#include <cstring>

namespace regcore {

namespace {

uint8_t Fold(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - ('a' - 'A')) : c; }

// ": name" or ": (Default)" for "@".
std::string ValueField(const char* entryValueName) {
    if (std::strcmp(entryValueName, "@") == 0) return ": (Default)";
    return std::string(": ") + entryValueName;
}

}  // namespace

AliasMatch FindRootKeyAlias(const RootKeyAlias* table, const char* path) {
    AliasMatch match;
    if (!table || !path) return match;
    for (int row = 0; table[row].prefix; ++row) {
        size_t n = std::strlen(table[row].prefix);
        if (std::strncmp(path, table[row].prefix, n) == 0) {
            match.row = row;
            match.alias = &table[row];
            match.rest = path + n;
            return match;
        }
    }
    return match;
}

ValueNameKind ClassifyValueName(const char* entryValueName, bool literalAllValues) {
    if (!entryValueName || !*entryValueName) return ValueNameKind::Key;
    if (std::strcmp(entryValueName, "@") == 0) return ValueNameKind::Default;
    if (!literalAllValues && EqualsIgnoreCaseAscii(entryValueName, "allvalues")) return ValueNameKind::FirstValue;
    return ValueNameKind::Named;
}

bool JoinKeyPath(const char* head, const char* tail, std::string& out) {
    out.clear();
    size_t a = std::strlen(head), b = std::strlen(tail);
    if (a + 1 + b + 1 > kRegistryTextBytes) return false;
    out.reserve(a + 1 + b);
    out.append(head, a).append(1, '\\').append(tail, b);
    return true;
}

bool LooksLikeClassId(const char* name, size_t length) {
    return length == 38 && name[0] == '{' && name[37] == '}';
}

bool EqualsIgnoreCaseAscii(const char* a, const char* b) {
    for (;; ++a, ++b) {
        uint8_t x = Fold(static_cast<uint8_t>(*a)), y = Fold(static_cast<uint8_t>(*b));
        if (x != y) return false;
        if (!x) return true;
    }
}

bool BytesEqualIgnoreCase(const uint8_t* a, const uint8_t* b, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

bool ContainsBytes(const uint8_t* data, size_t length, const uint8_t* what, size_t count, bool ignoreCase) {
    if (count > length) return false;
    if (count == 0) return true;
    for (size_t at = 0; at + count <= length; ++at) {
        bool same = ignoreCase ? BytesEqualIgnoreCase(data + at, what, count)
                               : std::memcmp(data + at, what, count) == 0;
        if (same) return true;
    }
    return false;
}

bool RestoreWanted(const ThreatRegistryRestore& e, uint32_t type, const uint8_t* data, size_t length) {
    const bool ignoreCase = (e.flags & kRestoreIgnoreCase) != 0;
    const uint8_t* match = e.matchData;
    const size_t count = e.matchLength;
    if (count && !match) return false;
    switch (static_cast<RestoreMode>(e.flags & kRestoreModeMask)) {
        case RestoreMode::EqualsFix:
        case RestoreMode::EqualsKeep: {
            bool equal = type == e.type && length == count &&
                         (count == 0 || (ignoreCase ? BytesEqualIgnoreCase(data, match, count)
                                                    : std::memcmp(data, match, count) == 0));
            return (e.flags & kRestoreModeMask) == static_cast<uint32_t>(RestoreMode::EqualsFix) ? equal : !equal;
        }
        case RestoreMode::ContainsFix:
        case RestoreMode::ContainsKeep: {
            bool contained = type == e.type && length >= count && ContainsBytes(data, length, match, count, ignoreCase);
            return (e.flags & kRestoreModeMask) == static_cast<uint32_t>(RestoreMode::ContainsFix) ? contained
                                                                                                  : !contained;
        }
    }
    return false;
}

std::string LinePrefix(bool perUser, const char* subPath, const char* entryPath) {
    return perUser ? std::string("registry: HKEY_USERS\\") + subPath : std::string("registry: ") + entryPath;
}

std::string KeyDeletedLine(const std::string& prefix) { return prefix + " (key deleted)"; }

std::string ValueDeletedLine(const std::string& prefix, const char* entryValueName) {
    if (std::strcmp(entryValueName, "@") == 0) return prefix + ": (Default value was cleared)";
    return prefix + ": " + entryValueName + " (value deleted)";
}

std::string DwordSetLine(const std::string& prefix, const char* entryValueName, uint32_t value) {
    char tail[64];
    std::snprintf(tail, sizeof tail, " (value set to 0x%08X (%i))", static_cast<unsigned>(value),
                  static_cast<int>(static_cast<int32_t>(value)));
    return prefix + ValueField(entryValueName) + tail;
}

std::string StringSetLine(const std::string& prefix, const char* entryValueName, const char* value) {
    return prefix + ValueField(entryValueName) + " (value set to \"" + value + "\")";
}

std::string RestoredLine(bool perUser, const char* subPath, const char* entryPath, const char* entryValueName,
                         bool defaultValue) {
    return LinePrefix(perUser, subPath, entryPath) + ": " + (defaultValue ? "(Default)" : entryValueName) +
           " (restored)";
}

std::string RestoreFailedLine(const char* entryPath, const char* entryValueName, bool defaultValue) {
    return std::string("registry: ") + entryPath + ": " + (defaultValue ? "(Default)" : entryValueName) +
           " (WARNING: could not be fixed)";
}

std::string ComPrefix(bool usersRoot, const char* subPath, const char* keyPath) {
    return LinePrefix(usersRoot, subPath, keyPath);
}

std::string ClassKeyDeletedLine(const char* classSubPath) {
    return std::string("registry: HKEY_CLASSES_ROOT\\") + classSubPath + " (key deleted)";
}

std::string ComKeyDeletedLine(bool usersRoot, const char* subKeyPath, const char* keyPath, const char* name) {
    if (usersRoot) return std::string("registry: HKEY_USERS\\") + subKeyPath + " (key deleted)";
    return std::string("registry: ") + keyPath + "\\" + name + " (key deleted)";
}

std::string ComValueDeletedLine(bool usersRoot, const char* subPath, const char* keyPath, const char* name) {
    return ComPrefix(usersRoot, subPath, keyPath) + ": " + name + " (value deleted)";
}

std::string DataValueDeletedLine(const std::string& prefix, const char* name) {
    if (!*name) return prefix + ": (Default value deleted)";
    return prefix + ": " + name + " (value deleted)";
}

}  // namespace regcore
