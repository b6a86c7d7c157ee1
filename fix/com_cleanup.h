// COM registrations that point at detected files.
#pragma once
#include <string>
#include <vector>

struct RemovalRun;

// Class identifiers found in one clean-up pass, shared by all its keys.
using ClassIdList = std::vector<std::string>;

// keyPath: a registry path of the definition. Classes whose in-process
// server is one of run.detectedFiles go from HKEY_CLASSES_ROOT\CLSID, and
// their subkeys and values under the key; `found` carries the identifiers
// from key to key.
void CleanupClsidReferences(RemovalRun& run, const char* keyPath, ClassIdList& found);
// path: ANSI or wide per platform, without "\\?\".
void DeleteValuesByData(RemovalRun& run, const char* keyPath, const void* path);
#include <windows.h>

// Runs the system's registration tool in unregister mode on a file (ANSI
// path); true when it ran and ended with exit code 0 within waitMs
// (the run gives it RunLimits::unregisterWaitMs).
bool UnregisterComServer(const char* path, DWORD waitMs);
// An infected server found by the scan: unregistered with the run's wait, and
// logged when that worked (path: its log text).
void UnregisterInfectedServer(RemovalRun& run, const char* path);
