// Driving the dialogs of another process: finding them, reading and pressing
// their controls, answering message boxes, and screenshots of what is on screen.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport::ui {

// Settings of this test's own Wine prefix, made before the program under test
// starts: Wine draws the window frames itself (there is no window manager on
// the test display, so screenshots would otherwise lack captions), and Times
// New Roman, which Wine does not ship, is drawn with a metric-compatible
// serif font instead of a sans-serif fallback.
void PrepareDesktop();

// Text of a window as the window manager holds it. Never sends a message, so
// it answers at once even while the window's thread is busy.
std::string Text(HWND hwnd);
std::string ItemText(HWND dialog, int id);
bool ItemEnabled(HWND dialog, int id);

// Polls `done` every stepMs until it holds or timeoutMs passed.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD stepMs = 10);

// A visible dialog (class #32770) of the process with this caption that has a
// child control `childId` (0: any). Waits up to timeoutMs.
HWND WaitForDialog(DWORD processId, const std::string& caption, int childId, DWORD timeoutMs);
// A visible message box of the process with this caption.
HWND WaitForMessageBox(DWORD processId, const std::string& caption, DWORD timeoutMs);
// Every visible message box of the process with this caption.
std::vector<HWND> MessageBoxes(DWORD processId, const std::string& caption);
bool WaitGone(HWND hwnd, DWORD timeoutMs);

// The message text of a message box.
std::string MessageBoxText(HWND box);
// Presses a button (BM_CLICK, posted so that a modal loop it opens does not
// block us); a dialog without that button gets the command itself.
void Press(HWND dialog, int id);

// Screen pixels of `area` as bottom-up 24-bit rows of `stride` bytes.
bool CaptureScreen(const RECT& area, std::vector<uint8_t>& rows, int& stride);

// Saves the screen area covered by the windows (their bounding rectangle) as
// a 24-bit BMP. Waits briefly first so that pending paints are on screen.
bool SaveScreenshot(const std::vector<HWND>& windows, const std::string& bmpPath);

// Top-level window of a process whose caption equals `caption` (any caption
// when empty) and whose class is `className` (any when empty); waits up to timeoutMs.
HWND WaitForWindow(DWORD processId, const std::string& caption, const std::string& className, DWORD timeoutMs);
// The text the window's thread answers to WM_GETTEXT (waits at most 5 s;
// Text reads it without a message).
std::string TextByMessage(HWND hwnd);
// Texts of the static controls of a dialog or message box, in z-order.
std::vector<std::string> StaticTexts(HWND dialog);
// Icon of a message box: MB_ICONINFORMATION, MB_ICONEXCLAMATION, MB_ICONSTOP, MB_ICONQUESTION or 0.
UINT MessageBoxIcon(HWND box);

}  // namespace testsupport::ui
