// Threat services: stopped before the running code is dealt with, deleted after.
#pragma once
#include <cstdint>

struct RemovalRun;

// The pass, as the action bits of the service rules it carries out.
enum class ServicePass : uint32_t { Stop = 1, Remove = 2 };

// One pass over the installed services with the definition's rules.
void StopAndRemoveServices(RemovalRun& run, ServicePass pass);
inline void StopThreatServices(RemovalRun& run) { StopAndRemoveServices(run, ServicePass::Stop); }
inline void RemoveThreatServices(RemovalRun& run) { StopAndRemoveServices(run, ServicePass::Remove); }
