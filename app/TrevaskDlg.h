// The main dialog and the removal run it hosts.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "app/options_core.h"
#include "app/report_core.h"
#include "scan/wstrlist.h"

class TrevaskDlg {
public:
    TrevaskDlg() = default;

    // Runs the dialog modally; returns IDOK or IDCANCEL.
    INT_PTR DoModal(HINSTANCE instance);

    // Removal procedure: one call performs one whole run and closes the dialog.
    void RunRemoval();

    // Status line; 0 in silent mode, 1 otherwise.
    int SetStatusText(const char* text);
    // Progress display of the file being scanned (ANSI path without "\\?\").
    void ShowCurrentFile(const char* ansiPath);
    // Handles one waiting window message, if any (the walk calls this per entry).
    void PumpOneMessage();
    void ConfirmCancel();

    HWND m_hWnd = nullptr;
    RunOptions options;
    bool runInProgress = false;
    std::string statusText;
    WStrList detectedFiles;
    WStrList failedDeletes;
    uint32_t sharesFound = 0;
    uint32_t sharesSecured = 0;
    bool systemRestoreWasEnabled = false;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog();
    void SetupWindow();
    void HandleCommandLine();
    void ShowAbout();
    void UpdateControls();
    void EndRun(UINT boxStyle);
    void FinishRun();
    void RestartDecision();
    void FitToStatusLine(char* text, size_t capacity);

    HICON m_icon = nullptr;
    HICON m_smallIcon = nullptr;
    std::atomic<long> m_cancelGuard{-1};
};

// The dialog of this process (null before it exists).
extern TrevaskDlg* g_mainDialog;

// 1 when the configured vulnerable file predates the fix, else 0.
int CheckVulnerableFile();

// Agreement (resource 103) and About (resource 100) dialogs.
bool ShowAgreementDialog(HWND owner);
void ShowAboutDialog(HWND owner);
