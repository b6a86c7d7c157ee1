// COM registrations that point at detected files.
#pragma once
class WStrList;

void CleanupClsidReferences(const char* keyPath, const WStrList& detectedFiles);
// path: ANSI or wide per platform, without "\\?\".
void DeleteValuesByData(const char* keyPath, const void* path);
// Runs the system's registration tool in unregister mode on a file (ANSI
// path); true when it ran and ended with exit code 0.
bool UnregisterComServer(const char* path);
