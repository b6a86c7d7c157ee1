#include "procs/threats.h"

void SuspendInjectedShellProcesses(RemovalRun&) {}
bool NeutraliseThreatProcesses(RemovalRun&) { return false; }
