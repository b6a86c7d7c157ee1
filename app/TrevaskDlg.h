// The main dialog: it hosts one removal run and shows its progress.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "run/run_context.h"

class TrevaskDlg : public RunProgress {
public:
    TrevaskDlg() = default;

    // Runs the dialog modally; returns IDOK or IDCANCEL.
    INT_PTR DoModal(HINSTANCE instance);

    // Start (or the silent switch): the controls to the running state, one
    // whole run, then the dialog closes.
    void RunRemoval();

    // The run's display.
    int SetStatusText(const char* text) override;
    void ShowCurrentFile(const char* ansiPath) override;
    void PumpOneMessage() override;
    bool CancelRequested() override { return m_cancelConfirmed; }
    int ShowBox(const char* text, const char* caption, UINT style) override;

    void ConfirmCancel();

    HWND m_hWnd = nullptr;
    RemovalRun run;
    std::string statusText;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog();
    void SetupWindow();
    void HandleCommandLine();
    void ShowAbout();
    void UpdateControls();
    void FitToStatusLine(char* text, size_t capacity);
    void DisplayFile(const char* ansiPath);
    void FlushCurrentFile();

    HICON m_icon = nullptr;
    HICON m_smallIcon = nullptr;
    std::atomic<long> m_cancelGuard{-1};
    bool m_cancelConfirmed = false;
    // File names reach the status line at most every kFileRefreshMs, and
    // slower where showing one is slow (an emulated or remote display), so
    // that the names take no more than about a twentieth of the scan's time.
    // The latest name is kept and shown when its time has come, before a
    // phase text or a box, and before a message is handled (a person who
    // presses Cancel sees the file the scan stopped at).
    static constexpr DWORD kFileRefreshMs = 50;
    static constexpr DWORD kFileRefreshMaxMs = 1000;
    static constexpr DWORD kDisplayShare = 20;
    std::string m_pendingFile;
    bool m_filePending = false;
    bool m_showsFile = false;
    DWORD m_fileWait = kFileRefreshMs;
    DWORD m_fileShownAt = 0;
};

// Agreement (resource 103) and About (resource 100) dialogs.
bool ShowAgreementDialog(HWND owner);
void ShowAboutDialog(HWND owner);
