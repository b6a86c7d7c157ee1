// The registry pass over the threat definition's fix lists, applied in every
// user's hive, and the key routines the COM clean-up shares.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "app/threat_definition.h"

struct RemovalRun;

void RunRegistryPass(RemovalRun& run);

// One target of a list entry, as an action receives it.
struct RegistryTarget {
    int row;                      // RootKeyAliases row
    HKEY key;                     // the open key, or for key-level entries the root of subPath
    const char* valueName;        // after the "@" and "allvalues" rules
    const char* entryPath;        // as written in the list
    const char* entryValueName;   // as written in the list
    const char* subPath;          // per-user rows: user key, "\", the rest
    bool perUser;
};
// Returns whether it fixed something.
using RegistryAction = bool (*)(RemovalRun& run, const RegistryTarget& target, const void* param);

// Resolves one list entry into its targets (every user key for the per-user
// rows, then on the NT family every listed profile) and runs the action on each.
void ForEachRegistryTarget(RemovalRun& run, const char* entryPath, const char* entryValueName,
                           RegistryAction action, const void* param);

// Deletes parent\subPath with everything below it. A key that denies access
// is handed to the Administrators once per level.
bool DeleteKeyTree(HKEY parent, const char* subPath);
// Replaces the key's DACL by one that gives Administrators full access.
bool GrantAdministratorsKeyAccess(HKEY parent, const char* subPath);

// The hives of the profiles the system lists (NT family). Loading records the
// names it loaded; unloading unloads exactly those, so that a hive loaded by
// someone else (a logged-on user's) is never pulled away.
void LoadProfileHives(bool load, bool ntFamily, std::vector<std::string>& loaded);

// The subkey names of a key, read up to the first failure (names of up to
// 1024 characters).
std::vector<std::string> SubkeyNames(HKEY key);
