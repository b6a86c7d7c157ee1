#include "scan/detect.h"

template <typename C>
int OpenAndDetect(TrevaskDlg&, const C*) {
    return 0;
}

template int OpenAndDetect<char>(TrevaskDlg&, const char*);
template int OpenAndDetect<wchar_t>(TrevaskDlg&, const wchar_t*);
