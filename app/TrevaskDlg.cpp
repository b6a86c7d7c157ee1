#include "app/TrevaskDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/environment.h"
#include "run/log.h"
#include "app/removal_run.h"
#include "app/resource.h"

namespace {

const char kCancelQuestion[] =
    "It is important to scan all the files. Are you sure you want to cancel the scanning procedure?";

}  // namespace

INT_PTR TrevaskDlg::DoModal(HINSTANCE instance) {
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_TREVASK_DIALOG), nullptr, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK TrevaskDlg::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TrevaskDlg*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_INITDIALOG:
            self = reinterpret_cast<TrevaskDlg*>(lParam);
            SetWindowLongPtrA(hwnd, GWLP_USERDATA, lParam);
            self->m_hWnd = hwnd;
            return self->OnInitDialog();
        case WM_COMMAND:
            if (!self) break;
            switch (LOWORD(wParam)) {
                case IDC_START:
                    // Start is disabled for the run; a disabled control loses
                    // the focus and the keyboard (Esc) would go nowhere.
                    if (IsWindowEnabled(GetDlgItem(hwnd, IDCANCEL)))
                        SendMessageA(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hwnd, IDCANCEL)), TRUE);
                    self->RunRemoval();
                    return TRUE;
                case IDCANCEL:
                    // With /NOCANCEL, Esc and the close box do what the greyed
                    // Cancel button does: nothing.
                    if (self->run.options.noCancel) {
                        MessageBeep(0);
                        return TRUE;
                    }
                    self->ConfirmCancel();
                    return TRUE;
                case IDC_ABOUT: self->ShowAbout(); return TRUE;
            }
            break;
        case WM_SYSCOMMAND:
            if (self && (wParam & 0xFFF0) == IDM_ABOUTBOX) {
                self->ShowAbout();
                return TRUE;
            }
            break;
        case WM_CTLCOLORSTATIC:
            // The banner is scaled to the dialog's size in pixels, which
            // depends on the system font; smooth scaling keeps it readable.
            if (self && reinterpret_cast<HWND>(lParam) == GetDlgItem(hwnd, IDC_BANNER)) {
                HDC dc = reinterpret_cast<HDC>(wParam);
                SetStretchBltMode(dc, HALFTONE);
                SetBrushOrgEx(dc, 0, 0, nullptr);
            }
            break;
        case WM_PAINT:
            if (self && IsIconic(hwnd)) {
                PAINTSTRUCT ps;
                HDC dc = BeginPaint(hwnd, &ps);
                SendMessageA(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
                RECT rc;
                GetClientRect(hwnd, &rc);
                int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
                DrawIcon(dc, (rc.right - rc.left - cx + 1) / 2, (rc.bottom - rc.top - cy + 1) / 2, self->m_icon);
                EndPaint(hwnd, &ps);
                return TRUE;
            }
            break;
        case WM_QUERYDRAGICON:
            if (self) return reinterpret_cast<INT_PTR>(self->m_icon);
            break;
        case WM_DESTROY:
            if (self) self->m_hWnd = nullptr;
            break;
    }
    return FALSE;
}

BOOL TrevaskDlg::OnInitDialog() {
    SetupWindow();
    HandleCommandLine();
    return TRUE;
}

void TrevaskDlg::SetupWindow() {
    // Stretch the banner to the status line's right edge, ending just above it.
    HWND banner = GetDlgItem(m_hWnd, IDC_BANNER);
    HWND status = GetDlgItem(m_hWnd, IDC_STATUS);
    if (banner && status) {
        RECT b, s;
        GetWindowRect(banner, &b);
        GetWindowRect(status, &s);
        MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&b), 2);
        MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&s), 2);
        b.right = s.right;
        b.bottom = s.top - 1;
        MoveWindow(banner, b.left, b.top, b.right - b.left, b.bottom - b.top, TRUE);
    }
    SetDlgItemTextA(m_hWnd, IDC_STATUS, "");
    EnableWindow(GetDlgItem(m_hWnd, IDC_START), TRUE);
    SetDlgItemTextA(m_hWnd, IDCANCEL, "&Close");
    SetWindowTextA(m_hWnd, GetProductTitle().c_str());

    HMENU menu = GetSystemMenu(m_hWnd, FALSE);
    char about[64] = {};
    if (menu && LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about) > 0 && about[0]) {
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about);
    }
    HINSTANCE instance = GetModuleHandleA(nullptr);
    m_icon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_smallIcon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
}

void TrevaskDlg::HandleCommandLine() {
    RunOptions& options = run.options;
    options = DefaultRunOptions(*run.def);
    const char* raw = GetCommandLineA();
    std::vector<char> line(raw, raw + std::strlen(raw) + 1);
    ParseCommandLine(line.data(), options, *run.def);

    if (!options.silentMode) {
        if (!ShowAgreementDialog(m_hWnd)) ExitProcess(options.exitCodeWanted ? static_cast<UINT>(ExitCode::NotDone) : 0);
        if (options.showHelp) MessageBoxA(m_hWnd, kHelpText, GetAppName().c_str(), MB_ICONINFORMATION);
    }
    UpdateControls();

    // Environment references in the log path; a relative path is relative to
    // the current directory.
    DWORD need = ExpandEnvironmentStringsA(options.logPath.c_str(), nullptr, 0);
    if (need) {
        std::vector<char> expanded(need + 1);
        if (ExpandEnvironmentStringsA(options.logPath.c_str(), expanded.data(), need + 1))
            options.logPath = expanded.data();
    }

    EnableWindow(GetDlgItem(m_hWnd, IDCANCEL), !options.noCancel);
    // The close box goes grey with the Cancel button it stands for.
    if (options.noCancel) EnableMenuItem(GetSystemMenu(m_hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    if (options.silentMode) RunRemoval();
    if (options.startImmediately && m_hWnd) PostMessageA(m_hWnd, WM_COMMAND, IDC_START, 0);
    IdentifyPlatform(run.flags);
}

void TrevaskDlg::UpdateControls() {
    if (!m_hWnd) return;
    HWND status = GetDlgItem(m_hWnd, IDC_STATUS);
    SetWindowTextA(status, statusText.c_str());
    UpdateWindow(status);
    CheckDlgButton(m_hWnd, IDC_SCAN_MAPPED, run.options.scanMappedDrives ? BST_CHECKED : BST_UNCHECKED);
}

void TrevaskDlg::FitToStatusLine(char* text, size_t capacity) {
    HWND status = m_hWnd ? GetDlgItem(m_hWnd, IDC_STATUS) : nullptr;
    if (!status || capacity < std::strlen(text) + 5) return;
    RECT rc;
    GetClientRect(status, &rc);
    HDC dc = GetDC(m_hWnd);
    int saved = SaveDC(dc);
    SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(m_hWnd, WM_GETFONT, 0, 0)));
    // Only the fitted string is wanted: draw it with nothing visible.
    IntersectClipRect(dc, 0, 0, 0, 0);
    // The end ellipsis only comes in when the file name alone is too wide.
    DrawTextA(dc, text, -1, &rc,
              DT_PATH_ELLIPSIS | DT_END_ELLIPSIS | DT_MODIFYSTRING | DT_SINGLELINE | DT_NOPREFIX);
    RestoreDC(dc, saved);
    ReleaseDC(m_hWnd, dc);
}

int TrevaskDlg::SetStatusText(const char* text) {
    if (run.options.silentMode) return 0;
    FlushCurrentFile();
    if (!text || std::strlen(text) > 259) return 1;
    char buffer[260 + 8] = {};
    std::strcpy(buffer, text);
    FitToStatusLine(buffer, sizeof buffer);
    statusText = buffer;
    m_showsFile = false;
    UpdateControls();
    return 1;
}

void TrevaskDlg::ShowCurrentFile(const char* ansiPath) {
    if (run.options.silentMode || !ansiPath) return;
    if (m_showsFile && GetTickCount() - m_fileShownAt < m_fileWait) {
        m_pendingFile.assign(ansiPath);
        m_filePending = true;
        return;
    }
    DisplayFile(ansiPath);
}

void TrevaskDlg::DisplayFile(const char* ansiPath) {
    const DWORD start = GetTickCount();
    char buffer[521 + 8] = {};
    std::strncpy(buffer, ansiPath, 520);
    FitToStatusLine(buffer, sizeof buffer);
    statusText = buffer;
    UpdateControls();
    m_filePending = false;
    m_showsFile = true;
    m_fileShownAt = GetTickCount();
    m_fileWait = std::clamp<DWORD>(kDisplayShare * (m_fileShownAt - start), kFileRefreshMs, kFileRefreshMaxMs);
}

void TrevaskDlg::FlushCurrentFile() {
    if (m_filePending) DisplayFile(m_pendingFile.c_str());
}

void TrevaskDlg::PumpOneMessage() {
    MSG msg;
    // The queue's status tells in one call to the system whether anything
    // waits; a look with PeekMessage costs several where nothing does, and
    // nothing waits after nearly every entry.
    if (!HIWORD(GetQueueStatus(QS_ALLINPUT)) || !PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        // A file that took long is not left behind an older name.
        if (m_filePending && GetTickCount() - m_fileShownAt >= m_fileWait) FlushCurrentFile();
        return;
    }
    FlushCurrentFile();
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
    if (msg.message == WM_QUIT) return;   // dropped: the run ends by closing the dialog
    if (m_hWnd && IsDialogMessageA(m_hWnd, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

int TrevaskDlg::ShowBox(const char* text, const char* caption, UINT style) {
    FlushCurrentFile();
    return MessageBoxA(m_hWnd, text, caption, style);
}

void TrevaskDlg::ConfirmCancel() {
    if (!run.runInProgress) {
        EndDialog(m_hWnd, IDCANCEL);
        return;
    }
    if (++m_cancelGuard != 0) {
        --m_cancelGuard;
        return;
    }
    int answer = MessageBoxA(nullptr, kCancelQuestion, GetProductTitle().c_str(), MB_YESNO | MB_ICONQUESTION);
    // The run takes the answer (and logs it) when the walk looks next.
    if (answer == IDYES) m_cancelConfirmed = true;
    --m_cancelGuard;
}

void TrevaskDlg::ShowAbout() { ShowAboutDialog(m_hWnd); }

void TrevaskDlg::RunRemoval() {
    // Controls to the running state; the hidden check box carries /MAPPED.
    if (m_hWnd) {
        EnableWindow(GetDlgItem(m_hWnd, IDC_START), FALSE);
        SetDlgItemTextA(m_hWnd, IDCANCEL, "&Cancel");
        run.options.scanMappedDrives = IsDlgButtonChecked(m_hWnd, IDC_SCAN_MAPPED) == BST_CHECKED;
    }
    if (::RunRemoval(run, *this) == RunEnd::Finished && m_hWnd) EndDialog(m_hWnd, IDOK);
}
