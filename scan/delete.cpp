#include "scan/delete.h"

void DeleteThreatFiles(TrevaskDlg&) {}
void DeleteThreatDirectories(TrevaskDlg&, const ThreatDirectory*, const void*) {}
void DeleteDetectionDirectories(TrevaskDlg&, const void*) {}
void RetryFailedDeletes(TrevaskDlg&) {}
