// The threat's running code: injected shell processes, threat processes and threads.
#pragma once
class TrevaskDlg;

void SuspendInjectedShellProcesses();
// 1 when it ran to the end, 0 when no process list could be obtained.
int NeutraliseThreatProcesses(TrevaskDlg& dlg);
