// Environment checks and the restart request.
#pragma once
#include <windows.h>

#include <cstdint>

#include "app/environment_core.h"

int IdentifyPlatform();
int CheckBootMode(uint32_t requiredMode);
int ReadRegistryString(HKEY root, const char* subKey, const char* valueName, char* buffer1024);
DWORD IsUserAdministrator(int* isAdmin);
// Enables one privilege of the own token (true without doing anything off
// the NT family); false when the token does not hold it.
bool EnablePrivilegeNamed(const char* privilege);
bool EnableDebugPrivilege();
bool EnableShutdownPrivilege();
// Asks the system for an ordinary restart with the security reason (0x13).
void RequestSystemRestart();

// Test seams: replace what the system reports (null restores the real call).
using CleanBootProbe = int (*)();
void SetCleanBootProbe(CleanBootProbe probe);
using AdminProbe = bool (*)();       // true: administrator with debug privilege
void SetRightsProbe(AdminProbe probe);
bool CheckAdministratorRights();
