// COM registrations that point at detected files.
#pragma once
struct RemovalRun;

// keyPath: a registry path of the definition; the identifiers come from
// run.detectedFiles.
void CleanupClsidReferences(RemovalRun& run, const char* keyPath);
// path: ANSI or wide per platform, without "\\?\".
void DeleteValuesByData(RemovalRun& run, const char* keyPath, const void* path);
// Runs the system's registration tool in unregister mode on a file (ANSI
// path); true when it ran and ended with exit code 0.
bool UnregisterComServer(const char* path);
