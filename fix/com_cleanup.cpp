#include "fix/com_cleanup.h"

void CleanupClsidReferences(const char*, const WStrList&) {}
void DeleteValuesByData(const char*, const void*) {}
bool UnregisterComServer(const char*) { return false; }
