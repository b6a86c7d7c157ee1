#include "scan/repair.h"

template <typename C>
int RepairFile(TrevaskDlg&, const C*, int) {
    return 0;
}

template <typename C>
int CutRepairStep(TrevaskDlg&, const C*) {
    return 0;
}

template int RepairFile<char>(TrevaskDlg&, const char*, int);
template int RepairFile<wchar_t>(TrevaskDlg&, const wchar_t*, int);
template int CutRepairStep<char>(TrevaskDlg&, const char*);
template int CutRepairStep<wchar_t>(TrevaskDlg&, const wchar_t*);
