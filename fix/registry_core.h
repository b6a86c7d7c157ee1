// The computing half of the registry pass and the COM clean-up: alias
// resolution, the value-name conventions, the restore match, key paths and
// the log lines. Portable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "run/threat_definition.h"

namespace regcore {

// Entry paths, resolved sub-paths and value names each fit in this many
// bytes with their terminator; enumerations use buffers of this many characters.
constexpr size_t kRegistryTextBytes = 1024;

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegDword = 4;

struct AliasMatch {
    int row = -1;                 // index in the table; -1 when no prefix matches
    const RootKeyAlias* alias = nullptr;
    const char* rest = nullptr;   // the sub-path after the prefix
};
// The first row whose prefix begins the path, byte for byte.
AliasMatch FindRootKeyAlias(const RootKeyAlias* table, const char* path);

enum class ValueNameKind {
    Key,         // empty: the entry names the key itself
    Default,     // "@": the unnamed value
    FirstValue,  // "allvalues": the first value the key enumerates
    Named,
};
// literalAllValues: the profile sweep takes "allvalues" as a plain name.
ValueNameKind ClassifyValueName(const char* entryValueName, bool literalAllValues);

// head + "\" + tail; false (and out empty) when the result would not fit in
// kRegistryTextBytes with its terminator.
bool JoinKeyPath(const char* head, const char* tail, std::string& out);

// "{" + 36 characters + "}".
bool LooksLikeClassId(const char* name, size_t length);

// ASCII case folding, as the C runtime's "C" locale does.
bool EqualsIgnoreCaseAscii(const char* a, const char* b);
bool BytesEqualIgnoreCase(const uint8_t* a, const uint8_t* b, size_t count);
bool ContainsBytes(const uint8_t* data, size_t length, const uint8_t* what, size_t count, bool ignoreCase);

// Low four bits of a restore entry's flags.
enum class RestoreMode : uint32_t {
    ContainsFix = 1,     // fix when the data contains the match bytes
    EqualsFix = 2,       // fix when the data equals them
    ContainsKeep = 3,    // fix when it does not contain them
    EqualsKeep = 4,      // fix when it does not equal them
};
constexpr uint32_t kRestoreModeMask = 0xF;
constexpr uint32_t kRestoreIgnoreCase = 0x100;

// Whether the current value (type, data) is to be rewritten by the entry.
bool RestoreWanted(const ThreatRegistryRestore& entry, uint32_t type, const uint8_t* data, size_t length);

// The start of every line of the registry pass: the user's sub-path for the
// per-user rows, else the entry path as written.
std::string LinePrefix(bool perUser, const char* subPath, const char* entryPath);
std::string KeyDeletedLine(const std::string& prefix);
std::string ValueDeletedLine(const std::string& prefix, const char* entryValueName);
std::string DwordSetLine(const std::string& prefix, const char* entryValueName, uint32_t value);
std::string StringSetLine(const std::string& prefix, const char* entryValueName, const char* value);
// defaultValue: the target is the unnamed value.
std::string RestoredLine(bool perUser, const char* subPath, const char* entryPath, const char* entryValueName,
                         bool defaultValue);
std::string RestoreFailedLine(const char* entryPath, const char* entryValueName, bool defaultValue);

// The COM clean-up's lines. usersRoot: the key lies under HKEY_USERS.
std::string ComPrefix(bool usersRoot, const char* subPath, const char* keyPath);
std::string ClassKeyDeletedLine(const char* classSubPath);
// subKeyPath: the target's sub-path with the subkey's name.
std::string ComKeyDeletedLine(bool usersRoot, const char* subKeyPath, const char* keyPath, const char* name);
std::string ComValueDeletedLine(bool usersRoot, const char* subPath, const char* keyPath, const char* name);
// DeleteValuesByData: name empty for the unnamed value.
std::string DataValueDeletedLine(const std::string& prefix, const char* name);

}  // namespace regcore
