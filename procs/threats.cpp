#include "procs/threats.h"

void SuspendInjectedShellProcesses(RemovalRun&) {}
bool NeutraliseThreatProcesses(RemovalRun&, RunProgress&) { return false; }
