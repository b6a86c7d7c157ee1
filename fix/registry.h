// The registry pass over the threat definition's fix lists, applied in every
// user's hive, and the key routines the COM clean-up shares.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "run/threat_definition.h"

struct RemovalRun;

void RunRegistryPass(RemovalRun& run);

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
