#include "fix/registry.h"

void RunRegistryPass(RemovalRun&) {}
