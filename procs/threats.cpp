#include "procs/threats.h"

void SuspendInjectedShellProcesses() {}
int NeutraliseThreatProcesses(TrevaskDlg&) { return 0; }
