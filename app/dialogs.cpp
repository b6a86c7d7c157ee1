// The agreement and About dialogs.
#include <windows.h>

#include <string>

#include "app/TrevaskDlg.h"
#include "run/log.h"
#include "app/resource.h"

namespace {

std::string AgreementText() {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC res = FindResourceA(self, MAKEINTRESOURCEA(IDR_AGREEMENT_TEXT), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    if (!res) return std::string();
    HGLOBAL data = LoadResource(self, res);
    const char* text = data ? static_cast<const char*>(LockResource(data)) : nullptr;
    return text ? std::string(text, SizeofResource(self, res)) : std::string();
}

INT_PTR CALLBACK AgreementProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG:
            SetDlgItemTextA(hwnd, IDC_AGREEMENT_TEXT, AgreementText().c_str());
            SetWindowTextA(hwnd, (GetProductTitle() + " EULA").c_str());
            return TRUE;
        case WM_SHOWWINDOW:
            // The edit control selects its whole text when it gets the focus;
            // once that has happened, take the selection away and show the
            // text from its beginning.
            if (wParam) {
                HWND text = GetDlgItem(hwnd, IDC_AGREEMENT_TEXT);
                PostMessageA(text, EM_SETSEL, 0, 0);
                PostMessageA(text, EM_SCROLLCARET, 0, 0);
            }
            return FALSE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            break;
    }
    return FALSE;
}

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG:
            SetDlgItemTextA(hwnd, IDC_ABOUT_TITLE, GetProductTitle().c_str());
            SetDlgItemTextA(hwnd, IDC_LEGAL, GetLegalNoticeText().c_str());
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            break;
    }
    return FALSE;
}

}  // namespace

bool ShowAgreementDialog(HWND owner) {
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_AGREEMENT), owner, AgreementProc, 0) ==
           IDOK;
}

void ShowAboutDialog(HWND owner) {
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUTBOX), owner, AboutProc, 0);
}
