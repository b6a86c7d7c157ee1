// Deletion of threat files and directories, now or at the next restart.
// Native paths: wide with "\\?\" on the NT family, ANSI on 9x.
#pragma once
struct ThreatDirectory;
class TrevaskDlg;
class WStrList;

// 1 deleted, -1 deletion scheduled for the next restart, 0 not deleted or not
// found. With logging off nothing is written, counted or flagged.
template <typename C> int DeleteFileLogged(const C* path, int logging);
// 1 deleted, 0 otherwise; a file still there is added to `failed` (no restart
// operation is scheduled here, the second pass does that).
template <typename C> int DeleteListedFile(const C* path, int logging, WStrList& failed);
// 1 removed, -1 scheduled for the next restart, 0 not removed. Without onCopy
// the path buffer is used for the listing and must hold maxPathChars + 1.
template <typename C> int DeleteDirectory(C* path, int onlyIfEmpty, int onCopy);

void DeleteThreatFiles(TrevaskDlg& dlg);
// filterDirectory: a native directory path without "\\?\", or null for no filter.
void DeleteThreatDirectories(TrevaskDlg& dlg, const ThreatDirectory* table, const void* filterDirectory);
// nativePath: a detected file (its folder is the filter for the third table).
void DeleteDetectionDirectories(TrevaskDlg& dlg, const void* nativePath);
void RetryFailedDeletes(TrevaskDlg& dlg);
