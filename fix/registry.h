// The registry pass over the threat definition's fix lists.
#pragma once
struct RemovalRun;

void RunRegistryPass(RemovalRun& run);
