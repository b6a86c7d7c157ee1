// W32.Quorvin: the definition this build is compiled with.
#include "run/threat_definition.h"
#include "run/options_core.h"

namespace {

// Predefined registry roots (the values Windows gives its HKEY_* handles).
constexpr uintptr_t kHkeyClassesRoot = 0x80000000u;
constexpr uintptr_t kHkeyCurrentUser = 0x80000001u;
constexpr uintptr_t kHkeyLocalMachine = 0x80000002u;
constexpr uintptr_t kHkeyUsers = 0x80000003u;

const char* const kThreatFiles[] = {"%TEMP%\\VCAB.DLL", nullptr};
const char* const kNoNames[] = {nullptr};
const wchar_t* const kNoAccounts[] = {nullptr};

const ThreatRegistryDelete kRegistryDelete[] = {
    {"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Runonce"},
    {nullptr, nullptr},
};
const ThreatRegistryDword kNoDword[] = {{nullptr, nullptr, 0}};
const ThreatRegistryDwordReplace kNoDwordReplace[] = {{nullptr, nullptr, 0, 0}};
const ThreatRegistryString kNoString[] = {{nullptr, nullptr, nullptr}};
const ThreatRegistryRestore kNoRestore[] = {{0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0}};
const ThreatDirectory kNoDirectories[] = {{nullptr, false}};
const ThreatServiceRule kServiceRules[] = {{0, false, nullptr, false, nullptr}};
const ThreatGroupMember kNoMembers[] = {{nullptr, nullptr}};
const ImageTerminationRecord kNoImages[] = {{nullptr}};
const CutRepairEntry kNoCuts[] = {{nullptr, nullptr, 0, nullptr, 0, nullptr, 0}};
const ProcessSignature kNoSignatures[] = {{false, {{0, {0, 0, 0, 0}, 0, 0}}}};
const StartSlotProbe kNoProbes[] = {{0xFFFFFFFFu, 0, 0}};

const ThreatDefinition kQuorvin = {
    /*logFileName*/ "fixquorvin.log",
    /*threatName*/ "W32.Quorvin",
    /*helpText*/ kHelpText,
    /*threatFileList*/ kThreatFiles,
    /*hasServices*/ true,
    /*scanThreadStarts*/ true,
    /*threatProcessNames*/ kNoNames,
    /*maxSignatureParts*/ 1,
    /*processSignatureCount*/ 0,
    /*processSignatures*/ kNoSignatures,
    /*startSlotProbes*/ kNoProbes,
    /*startSlotProbeCount*/ 0,
    /*registryDeleteList*/ kRegistryDelete,
    /*registryDwordDeleteList*/ kNoDword,
    /*registryDwordSetList*/ kNoDword,
    /*registryDwordReplaceList*/ kNoDwordReplace,
    /*registryStringSetList*/ kNoString,
    /*registryRestoreList*/ kNoRestore,
    /*requiredBootMode*/ 3,
    /*registryPassBeforeScan*/ false,
    /*registryPassAfterDetection*/ true,
    /*directoryTables*/ {kNoDirectories, kNoDirectories, kNoDirectories},
    /*detectionNames*/ {nullptr, "W32.Quorvin!inf", "W32.Quorvin", "W32.Quorvin!dr"},
    /*systemRestoreCheck*/ true,
    /*registryFixDefault*/ true,
    /*rootKeyAliases*/ RootKeyAliases,
    /*scanMappedDefault*/ false,
    /*fixSharesDefault*/ false,
    /*adminShareDeleteAllowed*/ false,
    /*restartShellEnabled*/ false,
    /*threatServiceTable*/ kServiceRules,
    /*threatServiceCount*/ 1,
    /*groupMemberRemovalList*/ kNoMembers,
    /*accountDisableList*/ kNoAccounts,
    /*clsidCleanupKeys*/ kNoNames,
    /*valueDataCleanupKeys*/ kNoNames,
    /*unregisterInfectedServers*/ false,
    /*imageTerminationTable*/ kNoImages,
    /*cutRepairTable*/ kNoCuts,
    /*vulnerableFilePath*/ "",
    /*vulnerableBeforeTimestamp*/ 0,
    /*vulnerabilityMessage*/ nullptr,
    /*vulnerabilityOpenTarget*/ nullptr,
};

}  // namespace

const RootKeyAlias RootKeyAliases[] = {
    {kHkeyLocalMachine, "HKLM\\", false},
    {kHkeyLocalMachine, "HKEY_LOCAL_MACHINE\\", false},
    {kHkeyClassesRoot, "HKCR\\", false},
    {kHkeyClassesRoot, "HKEY_CLASSES_ROOT\\", false},
    {kHkeyCurrentUser, "HKCU\\", true},
    {kHkeyCurrentUser, "HKEY_CURRENT_USER\\", true},
    {kHkeyUsers, "HKU\\", false},
    {kHkeyUsers, "HKEY_USERS\\", false},
    {0, nullptr, false},
};

const ThreatDefinition& BuiltInDefinition() { return kQuorvin; }


