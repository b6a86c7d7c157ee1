// The drive and directory walk.
#pragma once
class TrevaskDlg;

// Walks every fixed drive (or the /ONLYDIR= tree) and scans each file.
// 1 when the walk ran to its end, 0 when cancelled.
int ScanDrives(TrevaskDlg& dlg);
