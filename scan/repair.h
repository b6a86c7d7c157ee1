// Repair of infected files and the signature cut.
#pragma once
class TrevaskDlg;

// Repairs (verdict 1) or deletes (verdicts 2, 3) the file at a native path.
// Above 0 when the file was repaired in place (detection runs again).
template <typename C>
int RepairFile(TrevaskDlg& dlg, const C* path, int verdict);

// The signature cut that runs before detection: 0 nothing cut (detection
// follows), 1 repaired, 2 could not be repaired.
template <typename C>
int CutRepairStep(TrevaskDlg& dlg, const C* path);
