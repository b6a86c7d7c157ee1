// The drive and directory walk: every file of the fixed drives (mapped drives
// with /MAPPED) or of the /ONLYDIR= tree, each scanned once.
#pragma once
#include <windows.h>

class TrevaskDlg;

// Walks the drives (or the /ONLYDIR= tree) with the protection paused around
// it; 1 when the walk ran to its end, 0 when it was cancelled or a directory
// could not be used.
int ScanDrives(TrevaskDlg& dlg);

// The walk for one string kind (char: ANSI on 9x, wchar_t: "\\?\" paths on
// the NT family). `path` is the walk's buffer, which must hold
// g_run.maxPathChars + 1 characters: the walk builds every path in place.
// A directory path has no trailing backslash. 1 unless cancelled.
template <typename C>
int ScanDirectory(TrevaskDlg& dlg, C* path);
// Scans one file; 0 when its path is unusable or the run was cancelled.
template <typename C>
int ScanFile(TrevaskDlg& dlg, C* path, DWORD attributes);
// Shows the file (path without "\\?\") in the dialog; nothing in silent mode.
template <typename C>
void ShowCurrentFile(TrevaskDlg& dlg, const C* path);
