// Environment checks and the restart request.
#pragma once
#include <windows.h>

#include <cstdint>

#include "app/environment_core.h"
#include "run/threat_definition.h"

// Sets the platform flags from the version the system reports.
int IdentifyPlatform(RunFlags& flags);
int CheckBootMode(uint32_t requiredMode);
int ReadRegistryString(HKEY root, const char* subKey, const char* valueName, char* buffer1024);
DWORD IsUserAdministrator(int* isAdmin);
// Enables one privilege of the own token (true without doing anything off
// the NT family); false when a call fails. A privilege the token does not
// hold is no failure: nothing changes then.
bool EnablePrivilegeNamed(bool ntFamily, const char* privilege);
bool EnableDebugPrivilege(bool ntFamily);
bool EnableShutdownPrivilege(bool ntFamily);
enum class Rights {
    Administrator,                        // with the debug privilege enabled
    AdministratorWithoutDebugPrivilege,   // the token does not hold it (a policy may withhold it)
    Refused,                              // no administrator, or the privilege could not be asked for
};
Rights CheckAdministratorRights(bool ntFamily);
// Asks the system for an ordinary restart with the security reason (0x13).
void RequestSystemRestart();

// True when the configured vulnerable file predates the fix.
bool CheckVulnerableFile(const ThreatDefinition& def);
