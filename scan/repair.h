// Repair of infected files and the signature cut.
#pragma once
struct CutRepairEntry;
class TrevaskDlg;

// Repairs (verdict 1) or deletes (verdicts 2, 3) the file at a native path.
// Above 0: repaired in place, the new length (detection runs again);
// 0: whole-file threat handed to the deletion; -1 failed, the file as it was;
// -2: the repaired copy replaces the file at the next restart.
template <typename C>
int RepairFile(TrevaskDlg& dlg, const C* path, int verdict);

// The signature cut that runs before detection: 0 nothing cut (detection
// follows), 1 repaired, 2 could not be repaired.
template <typename C>
int CutRepairStep(TrevaskDlg& dlg, const C* path);

// One cut of one table entry: 1 cut made, 0 nothing found or the file could
// not be used, 2 a cut was found but could not be written.
template <typename C>
int CutOnce(const C* path, const CutRepairEntry& entry);

// Tests only: how many ".fix" names are tried (at most, and by default, 0x10000).
void SetFixNameLimit(unsigned limit);
