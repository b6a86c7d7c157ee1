#include "app/TrevaskDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstring>
#include <vector>

#include "app/environment.h"
#include "app/log.h"
#include "app/resource.h"
#include "app/run_state.h"
#include "app/threat_definition.h"
#include "fix/accounts.h"
#include "fix/com_cleanup.h"
#include "fix/registry.h"
#include "fix/services.h"
#include "fix/shares.h"
#include "procs/shell.h"
#include "procs/threats.h"
#include "scan/api_table.h"
#include "scan/delete.h"
#include "scan/walk.h"

TrevaskDlg* g_mainDialog = nullptr;

namespace {

const char kSystemRestoreKey[] = "SYSTEM\\CurrentControlSet\\Services\\VxD\\VxDMon";
const char kSystemRestoreValue[] = "SystemRestore";
const char kCancelQuestion[] =
    "It is important to scan all the files. Are you sure you want to cancel the scanning procedure?";

const char* BootModeText(uint32_t mode) {
    switch (mode) {
        case 0: return " must be executed from NORMAL boot mode only.\n";
        case 1: return " must be executed from SAFE boot mode only.\n";
        case 2: return " must be executed from SAFE WITH NETWORK boot mode only.\n";
        default: return nullptr;
    }
}

UINT IconStyle(ReportIcon icon) {
    switch (icon) {
        case ReportIcon::Stop: return MB_ICONSTOP;
        case ReportIcon::Exclamation: return MB_ICONEXCLAMATION;
        default: return MB_ICONINFORMATION;
    }
}

bool SystemRestoreValue(bool& on) {
    char value[1024] = {};
    if (!ReadRegistryString(HKEY_LOCAL_MACHINE, kSystemRestoreKey, kSystemRestoreValue, value)) return false;
    value[sizeof value - 1] = '\0';
    on = SystemRestoreOn(value);
    return true;
}

// A writable copy of a share password of at least 9 characters.
std::vector<char> PasswordBuffer(const std::string& text) {
    std::vector<char> buffer(std::max<size_t>(9, text.size() + 1), '\0');
    std::memcpy(buffer.data(), text.c_str(), text.size());
    return buffer;
}

}  // namespace

INT_PTR TrevaskDlg::DoModal(HINSTANCE instance) {
    g_mainDialog = this;
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_TREVASK_DIALOG), nullptr, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    g_mainDialog = nullptr;
    return result;
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
                    if (self->options.noCancel) {
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
    options = DefaultRunOptions(*g_def);
    const char* raw = GetCommandLineA();
    std::vector<char> line(raw, raw + std::strlen(raw) + 1);
    ParseCommandLine(line.data(), options, *g_def);

    g_run.silentMode = options.silentMode;
    g_run.noFileScan = options.noFileScan;
    g_run.noVulnerabilityCheck = options.noVulnerabilityCheck;
    g_run.noCancel = options.noCancel;
    g_run.onlyDirPath = options.onlyDirPath;

    if (!options.silentMode) {
        if (!ShowAgreementDialog(m_hWnd)) ExitProcess(0);
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
    IdentifyPlatform();
}

void TrevaskDlg::UpdateControls() {
    if (!m_hWnd) return;
    HWND status = GetDlgItem(m_hWnd, IDC_STATUS);
    SetWindowTextA(status, statusText.c_str());
    UpdateWindow(status);
    CheckDlgButton(m_hWnd, IDC_SCAN_MAPPED, options.scanMappedDrives ? BST_CHECKED : BST_UNCHECKED);
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
    if (g_run.silentMode) return 0;
    if (!text || std::strlen(text) > 259) return 1;
    char buffer[260 + 8] = {};
    std::strcpy(buffer, text);
    FitToStatusLine(buffer, sizeof buffer);
    statusText = buffer;
    UpdateControls();
    return 1;
}

void TrevaskDlg::ShowCurrentFile(const char* ansiPath) {
    if (g_run.silentMode || !ansiPath) return;
    char buffer[521 + 8] = {};
    std::strncpy(buffer, ansiPath, 520);
    FitToStatusLine(buffer, sizeof buffer);
    statusText = buffer;
    UpdateControls();
}

void TrevaskDlg::PumpOneMessage() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) return;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
    if (msg.message == WM_QUIT) return;   // dropped: the run ends by closing the dialog
    if (m_hWnd && IsDialogMessageA(m_hWnd, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

void TrevaskDlg::ConfirmCancel() {
    if (!runInProgress) {
        EndDialog(m_hWnd, IDCANCEL);
        return;
    }
    if (++m_cancelGuard != 0) {
        --m_cancelGuard;
        return;
    }
    int answer = MessageBoxA(nullptr, kCancelQuestion, GetProductTitle().c_str(), MB_YESNO | MB_ICONQUESTION);
    if (answer == IDYES) {
        WriteTextLine("\r\nThe scanning procedure was cancelled.\r\n");
        g_run.cancelRequested = true;
    }
    --m_cancelGuard;
}

void TrevaskDlg::ShowAbout() { ShowAboutDialog(m_hWnd); }

void TrevaskDlg::RunRemoval() {
    const ThreatDefinition& def = *g_def;
    UINT boxStyle = MB_ICONINFORMATION;
    bool rightsMissing = false;

    // 1. Controls to the running state; the hidden check box carries /MAPPED.
    if (m_hWnd) {
        EnableWindow(GetDlgItem(m_hWnd, IDC_START), FALSE);
        SetDlgItemTextA(m_hWnd, IDCANCEL, "&Cancel");
        options.scanMappedDrives = IsDlgButtonChecked(m_hWnd, IDC_SCAN_MAPPED) == BST_CHECKED;
    }

    // 2. Boot mode.
    if (!CheckBootMode(def.requiredBootMode)) {
        const char* text = BootModeText(def.requiredBootMode);
        if (!g_run.silentMode && text)
            MessageBoxA(m_hWnd, (GetProductTitle() + text).c_str(), GetAppName().c_str(), MB_ICONEXCLAMATION);
        RestartDecision();
        FinishRun();
        return;
    }

    // 3. One run per process.
    if (runInProgress) return;
    runInProgress = true;

    // 5. The log.
    SetStatusText("creating log file");
    if (OpenLogFile(options.logPath.c_str())) {
        WriteTextLine(GetProductTitle().c_str());
    } else {
        reportText = "The log file could not be created.\n";
    }

    // 6. Platform.
    SetStatusText("identifying platforms");
    IdentifyPlatform();
    g_run.maxPathChars = g_run.isNtFamily ? kMaxPathCharsNt : kMaxPathChars9x;

    // 7. File and registry functions.
    if (!LoadApiTable()) {
        ReportText("\r\nLoading APIs fails.");
        RestartDecision();
        FinishRun();
        return;
    }

    // 8. Windows ME System Restore.
    SetStatusText("checking system restore");
    if (!g_run.silentMode && def.systemRestoreCheck && g_run.isWinMe) {
        bool on = false;
        if (SystemRestoreValue(on) && on) {
            systemRestoreWasEnabled = true;
            if (MessageBoxA(m_hWnd, kSystemRestoreEnabledWarning, GetAppName().c_str(), MB_OKCANCEL) == IDCANCEL) {
                RestartDecision();
                FinishRun();
                return;
            }
        }
    }

    // 9. Rights (NT family).
    if (g_run.isNtFamily) {
        SetStatusText("verifying privileges");
        if (!CheckAdministratorRights()) {
            ReportText("You do not have Administrator rights to run the tool.");
            ReportText("Please contact your Network Administrator for more information.");
            boxStyle = MB_ICONSTOP;
            rightsMissing = true;
        }
    }

    if (!rightsMissing) {
        // 10.-12. Services and running code.
        StopAndRemoveServices(1);
        if (g_stats.servicesStopped) WriteEmptyLine();
        SuspendInjectedShellProcesses();
        if (NeutraliseThreatProcesses(*this)) WriteEmptyLine();
        StopAndRemoveServices(2);
        if (g_stats.servicesRemoved) WriteEmptyLine();

        // 13. The cleaning proper.
        if (options.registryFixEnabled && def.registryPassBeforeScan) {
            RunRegistryPass(*this);
            if (g_stats.registryEntriesFixed) WriteEmptyLine();
        }
        detectedFiles.RemoveAll();
        failedDeletes.RemoveAll();
        if (!g_run.noFileScan) {
            ScanDrives(*this);
            DeleteThreatFiles(*this);
        }
        if (detectedFiles.GetCount() != 0) {
            for (const char* const* key = def.clsidCleanupKeys; key && *key; ++key)
                CleanupClsidReferences(*key, detectedFiles);
            size_t count = detectedFiles.GetCount();
            for (size_t i = 0; i < count; ++i) {
                WStrList::Position at = detectedFiles.FindIndex(i);
                if (!at) break;
                const void* path = detectedFiles.GetAt(at);
                if (g_run.isNtFamily) {
                    const wchar_t* w = static_cast<const wchar_t*>(path);
                    if (wcsncmp(w, L"\\\\?\\", 4) == 0) path = w + 4;
                }
                for (const char* const* key = def.valueDataCleanupKeys; key && *key; ++key)
                    DeleteValuesByData(*key, path);
                DeleteDetectionDirectories(*this, detectedFiles.GetAt(at));
            }
        }
        DeleteThreatDirectories(*this, def.directoryTables[0], nullptr);
        if (g_run.isWin9xFamily && def.restartShellEnabled) RestartShell();

        if (ThreatCountsAsFound(g_stats, static_cast<uint32_t>(failedDeletes.GetCount()))) {
            g_run.threatFound = true;
            WriteEmptyLine();
        }
        if (g_run.threatFound) {
            if (options.registryFixEnabled && def.registryPassAfterDetection) {
                RunRegistryPass(*this);
                if (g_stats.registryEntriesFixed) WriteEmptyLine();
            }
            DeleteThreatDirectories(*this, def.directoryTables[1], nullptr);
            if (g_run.isNtFamily) {
                RemoveGroupMembers();
                DisableAccounts();
                if (options.fixShares || options.deleteAdminShares)
                    SecureSharesNt(sharesFound, sharesSecured, options.fixShares, options.deleteAdminShares);
            }
            if (g_run.isWin9xFamily && (options.fixShares || options.deleteAdminShares)) {
                std::vector<char> rw = PasswordBuffer(options.readWritePassword);
                std::vector<char> ro = PasswordBuffer(options.readOnlyPassword);
                SecureShares9x(sharesFound, sharesSecured, rw.data(), ro.data(), options.fixShares,
                               options.deleteAdminShares);
            }
        }
        if (failedDeletes.GetCount() != 0) RetryFailedDeletes(*this);
    }

    // 14. Report.
    SetStatusText("Procedure completed.");
    if (!rightsMissing) {
        ReportInputs in;
        in.stats = &g_stats;
        in.threatName = def.threatName;
        in.cancelRequested = g_run.cancelRequested;
        in.systemRestoreWasEnabled = systemRestoreWasEnabled;
        in.isNt4 = g_run.isNt4;
        in.hasServices = def.hasServices != 0;
        in.scanThreadStarts = def.scanThreadStarts != 0;
        in.sharesReported = options.fixShares || options.deleteAdminShares;
        in.sharesFound = sharesFound;
        in.sharesSecured = sharesSecured;
        boxStyle = IconStyle(ComposeReport(in));
    }
    EndRun(boxStyle);
    RestartDecision();
    FinishRun();
}

// Steps 14 (final message) and 15 of a run.
void TrevaskDlg::EndRun(UINT boxStyle) {
    const ThreatDefinition& def = *g_def;
    if (g_run.silentMode) {
        WriteTextLine("\r\nThe tool was executed in silent mode.\r\n");
    } else {
        if (g_run.cancelRequested) boxStyle = MB_ICONEXCLAMATION;
        MessageBoxA(m_hWnd, reportText.c_str(), GetProductTitle().c_str(), boxStyle);
    }

    if (!g_run.silentMode && def.systemRestoreCheck && g_run.isWinMe) {
        bool on = false;
        if (SystemRestoreValue(on) && !on)
            MessageBoxA(m_hWnd, kSystemRestoreDisabledNotice, GetAppName().c_str(), MB_ICONINFORMATION);
    }
    if (g_run.noFileScan) WriteTextLine("\r\nNo files were scanned by the tool...");

    bool configured = def.vulnerableFilePath && def.vulnerableFilePath[0] && def.vulnerableBeforeTimestamp;
    bool vulnerable = false;
    if (configured && def.vulnerabilityMessage) {
        if (g_run.noVulnerabilityCheck)
            WriteTextLine("The vulnerability assessment has been skipped.");
        else
            vulnerable = CheckVulnerableFile() != 0;
    }
    if (def.vulnerabilityMessage && ((configured && vulnerable) || (!configured && !g_run.silentMode))) {
        if (def.vulnerabilityOpenTarget) {
            if (MessageBoxA(m_hWnd, def.vulnerabilityMessage, GetProductTitle().c_str(),
                            MB_YESNO | MB_ICONEXCLAMATION) == IDYES)
                ShellExecuteA(GetActiveWindow(), "open", def.vulnerabilityOpenTarget, nullptr, nullptr, SW_SHOWNORMAL);
        } else {
            MessageBoxA(m_hWnd, def.vulnerabilityMessage, GetProductTitle().c_str(), MB_OK | MB_ICONEXCLAMATION);
        }
    }
}

void TrevaskDlg::RestartDecision() {
    if (!g_run.rebootNeeded) return;
    SetStatusText("confirming system reboot");
    bool ok;
    if (g_run.silentMode)
        ok = !options.noSilentReboot;
    else
        ok = MessageBoxA(m_hWnd, kRebootQuestion, GetProductTitle().c_str(), MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK;
    if (ok) {
        SetStatusText("initiating shutdown");
        WriteTextLine("\r\nThe tool initiated a system reboot.\r\n");
        FlushLogFile();
        if (g_run.isNtFamily) EnableShutdownPrivilege();
        RequestSystemRestart();
    } else {
        WriteTextLine("\r\nThe system requires a reboot but was not rebooted.");
        WriteTextLine("To clean up all remnants of the threat from the system it must be rebooted.\r\n");
    }
}

void TrevaskDlg::FinishRun() {
    CloseLogFile();
    if (m_hWnd) EndDialog(m_hWnd, IDOK);
}
