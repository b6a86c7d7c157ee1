// Deletion of threat files and directories, now or at the next restart.
#pragma once
struct ThreatDirectory;
class TrevaskDlg;

void DeleteThreatFiles(TrevaskDlg& dlg);
// filterDirectory: a native directory path or null for no filter.
void DeleteThreatDirectories(TrevaskDlg& dlg, const ThreatDirectory* table, const void* filterDirectory);
// nativePath: a detected file (its folder is the filter for the third table).
void DeleteDetectionDirectories(TrevaskDlg& dlg, const void* nativePath);
void RetryFailedDeletes(TrevaskDlg& dlg);
