// Threat services: stopped before the running code is dealt with, deleted after.
#pragma once
struct RemovalRun;

enum class ServicePass { Stop, Remove };

// One pass over the services with the definition's rules.
void StopAndRemoveServices(RemovalRun& run, ServicePass pass);
inline void StopThreatServices(RemovalRun& run) { StopAndRemoveServices(run, ServicePass::Stop); }
inline void RemoveThreatServices(RemovalRun& run) { StopAndRemoveServices(run, ServicePass::Remove); }
