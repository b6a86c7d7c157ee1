// COM registrations that point at detected files.
#pragma once
class WStrList;

void CleanupClsidReferences(const char* keyPath, const WStrList& detectedFiles);
// path: ANSI or wide per platform, without "\\?\".
void DeleteValuesByData(const char* keyPath, const void* path);
