#include "fix/com_cleanup.h"

void CleanupClsidReferences(RemovalRun&, const char*) {}
void DeleteValuesByData(RemovalRun&, const char*, const void*) {}
bool UnregisterComServer(const char*) { return false; }
