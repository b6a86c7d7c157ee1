// The compiled-in description of the one threat this build removes.
// Portable: data only. Lists end with an entry whose first field is null.
#pragma once
#include <cstdint>

struct ThreatRegistryDelete {          // RegistryDeleteList
    const char* keyPath;
    const char* valueName;
};
struct ThreatRegistryDword {           // RegistryDwordDeleteList, RegistryDwordSetList
    const char* keyPath;
    const char* valueName;
    uint32_t value;
};
struct ThreatRegistryDwordReplace {    // RegistryDwordReplaceList
    const char* keyPath;
    const char* valueName;
    uint32_t oldValue;
    uint32_t newValue;
};
struct ThreatRegistryString {          // RegistryStringSetList
    const char* keyPath;
    const char* valueName;
    const char* value;
};
struct ThreatRegistryRestore {         // RegistryRestoreList (ends with a null keyPath)
    uint32_t flags;                    // low four bits RestoreMode, 0x100 case-insensitive
    const char* keyPath;
    const char* valueName;
    uint32_t type;
    const uint8_t* matchData;
    uint32_t matchLength;
    const uint8_t* newData;
    uint32_t newLength;
};
struct ThreatDirectory {               // DirectoryTable
    const char* path;
    bool onlyIfEmpty;
};
struct ThreatServiceRule {             // ThreatServiceTable
    uint32_t actions;                  // 1 stop, 2 delete
    bool nameExact;
    const char* name;
    bool displayExact;
    const char* displayName;
};
struct ThreatGroupMember {             // GroupMemberRemovalList (ends with a null member)
    const wchar_t* member;             // domain\account
    const wchar_t* group;
};
struct ImageTerminationRecord {        // imageTerminationTable (ends with a null name); the
    const char* name;                  // done flags are the run's (RemovalRun::imageTermination)
};
struct CutRepairEntry {                // CutRepairTable (ends with firstLength 0)
    const char* suffix;                // null: any file
    const uint8_t* first;
    uint32_t firstLength;
    const uint8_t* second;
    uint32_t secondLength;
    const uint8_t* replacement;
    uint32_t replacementLength;
};

constexpr int kMaxSignaturePartBytes = 4;
struct SignaturePart {
    uint32_t address;
    uint8_t pattern[kMaxSignaturePartBytes];   // encoded: byte value + 1, 0xCD any byte
    uint32_t patternLength;
    uint32_t readLength;                        // at most 4096
};
constexpr int kMaxSignatureParts = 1;
struct ProcessSignature {
    bool processOnly;
    SignaturePart parts[kMaxSignatureParts];
};
struct StartSlotProbe {                // thread-start probe record
    uint32_t kind;                     // 0 address on the stack, 1 pointer to a block
    uint32_t stackOffset;
    uint32_t fieldOffset;
};

// One predefined registry root and the textual prefix that names it.
struct RootKeyAlias {
    uintptr_t rootKey;                 // HKEY value; 0 ends the table
    const char* prefix;
    bool perUser;                      // HKCU rows: applied under every user of HKEY_USERS
};

struct ThreatDefinition {
    const char* logFileName;
    const char* threatName;
    const char* helpText;

    const char* const* threatFileList;

    bool hasServices;
    bool scanThreadStarts;
    const char* const* threatProcessNames;
    uint8_t maxSignatureParts;
    uint8_t processSignatureCount;
    const ProcessSignature* processSignatures;
    const StartSlotProbe* startSlotProbes;     // ends with kind 0xFFFFFFFF
    uint32_t startSlotProbeCount;

    const ThreatRegistryDelete* registryDeleteList;
    const ThreatRegistryDword* registryDwordDeleteList;
    const ThreatRegistryDword* registryDwordSetList;
    const ThreatRegistryDwordReplace* registryDwordReplaceList;
    const ThreatRegistryString* registryStringSetList;
    const ThreatRegistryRestore* registryRestoreList;

    uint32_t requiredBootMode;                 // 0 normal, 1 safe, 2 safe+network, 3 any
    bool registryPassBeforeScan;
    bool registryPassAfterDetection;

    const ThreatDirectory* directoryTables[3];
    const char* detectionNames[4];             // by verdict 0..3

    bool systemRestoreCheck;
    bool registryFixDefault;
    const RootKeyAlias* rootKeyAliases;
    bool scanMappedDefault;
    bool fixSharesDefault;
    bool adminShareDeleteAllowed;
    bool restartShellEnabled;

    const ThreatServiceRule* threatServiceTable;
    uint32_t threatServiceCount;
    const ThreatGroupMember* groupMemberRemovalList;
    const wchar_t* const* accountDisableList;
    const char* const* clsidCleanupKeys;
    const char* const* valueDataCleanupKeys;
    bool unregisterInfectedServers;
    const ImageTerminationRecord* imageTerminationTable;
    const CutRepairEntry* cutRepairTable;

    const char* vulnerableFilePath;
    uint32_t vulnerableBeforeTimestamp;
    const char* vulnerabilityMessage;
    const char* vulnerabilityOpenTarget;
};

// The definition compiled into this build.
const ThreatDefinition& BuiltInDefinition();

// The root-key alias table shared by the registry pass, COM clean-up and path macros.
extern const RootKeyAlias RootKeyAliases[];
