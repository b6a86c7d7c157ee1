// The threat's running code: injected shell processes, threat processes and threads.
#pragma once
struct RemovalRun;

void SuspendInjectedShellProcesses(RemovalRun& run);
// True when it ran to the end, false when no process list could be obtained.
bool NeutraliseThreatProcesses(RemovalRun& run);
