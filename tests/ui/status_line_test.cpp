// The status line of the main dialog: length rule, path ellipsis fitted to the
// control, ampersands, silent mode. The dialog is made from the program's own
// resources and driven in this process.
#include <gtest/gtest.h>

#include <string>

#include "app/TrevaskDlg.h"
#include "run/run_state.h"
#include "support/support.h"
#include "support/ui.h"

namespace {

constexpr int kStatus = 1001;
constexpr int kScanMapped = 1009;

INT_PTR CALLBACK PlainProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

class StatusLine : public ::testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryExA((testsupport::BinDir() + "\\FixQuorvin.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr);
        hwnd = CreateDialogParamA(module, MAKEINTRESOURCEA(102), nullptr, PlainProc, 0);
        ASSERT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOW);
        dlg.m_hWnd = hwnd;
    }
    void TearDown() override {
        dlg.m_hWnd = nullptr;
        if (hwnd) DestroyWindow(hwnd);
        if (module) FreeLibrary(module);
    }

    std::string Shown() {
        char text[1024] = {};
        GetDlgItemTextA(hwnd, kStatus, text, sizeof text);
        return text;
    }
    // Width of the text in the dialog's font, and the width it has to fit in.
    int TextWidth(const std::string& text) {
        HDC dc = GetDC(hwnd);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(hwnd, WM_GETFONT, 0, 0)));
        SIZE size = {};
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(hwnd, dc);
        return size.cx;
    }
    int LineWidth() {
        RECT rc;
        GetClientRect(GetDlgItem(hwnd, kStatus), &rc);
        return rc.right - rc.left;
    }
    // A path of exactly `length` characters ending in "\<file>".
    static std::string PathOf(size_t length, const std::string& file) {
        std::string path = "C:\\";
        while (path.size() + file.size() + 1 < length) {
            path += "folder";
            path += static_cast<char>('a' + path.size() % 26);
            path += '\\';
        }
        path.resize(length - file.size() - 1, 'x');
        return path + "\\" + file;
    }

    HMODULE module = nullptr;
    HWND hwnd = nullptr;
    TrevaskDlg dlg;
};

TEST_F(StatusLine, ShortTextsAreShownAsTheyAre) {
    EXPECT_EQ(dlg.SetStatusText("creating log file"), 1);
    EXPECT_EQ(Shown(), "creating log file");
    // Ampersands are text, not mnemonics.
    EXPECT_EQ(dlg.SetStatusText("C:\\Tom & Jerry\\a&&b.exe"), 1);
    EXPECT_EQ(Shown(), "C:\\Tom & Jerry\\a&&b.exe");
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(hwnd, kStatus), GWL_STYLE) & SS_NOPREFIX);
}

TEST_F(StatusLine, LongPathIsShortenedAndKeepsTheFileName) {
    const std::string file = "Some & Program.exe";
    for (size_t length : {120u, 200u, 259u}) {
        SCOPED_TRACE(length);
        std::string path = PathOf(length, file);
        ASSERT_EQ(path.size(), length);
        ASSERT_GT(TextWidth(path), LineWidth());   // the case needs shortening
        EXPECT_EQ(dlg.SetStatusText(path.c_str()), 1);
        std::string shown = Shown();
        EXPECT_NE(shown.find("..."), std::string::npos) << shown;
        EXPECT_EQ(shown.substr(shown.size() - file.size() - 1), "\\" + file) << shown;
        EXPECT_EQ(shown.substr(0, 3), "C:\\") << shown;
        EXPECT_LE(TextWidth(shown), LineWidth()) << shown;
    }
}

TEST_F(StatusLine, TextOf260OrMoreLeavesThePreviousText) {
    dlg.SetStatusText("identifying platforms");
    for (size_t length : {260u, 261u, 300u}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(dlg.SetStatusText(PathOf(length, "file.exe").c_str()), 1);
        EXPECT_EQ(Shown(), "identifying platforms");
        EXPECT_EQ(dlg.statusText, "identifying platforms");
    }
}

TEST_F(StatusLine, ScannedFileOf300CharactersIsShortened) {
    const std::string file = "scanned_file.dll";
    std::string path = PathOf(300, file);
    dlg.ShowCurrentFile(path.c_str());
    std::string shown = Shown();
    EXPECT_NE(shown.find("..."), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.size() - file.size() - 1), "\\" + file) << shown;
    EXPECT_LE(TextWidth(shown), LineWidth()) << shown;
    EXPECT_EQ(dlg.statusText, shown);
}

TEST_F(StatusLine, FileNameWiderThanTheLineStillShowsItsEnd) {
    // Nothing before the last backslash is left to drop: the name itself is cut.
    std::string name(200, 'W');
    name += ".exe";
    dlg.ShowCurrentFile(("C:\\" + name).c_str());
    std::string shown = Shown();
    EXPECT_NE(shown.find("..."), std::string::npos) << shown;
    EXPECT_LE(TextWidth(shown), LineWidth()) << shown;
}

TEST_F(StatusLine, RefreshWritesTheMappedDrivesOption) {
    dlg.run.options.scanMappedDrives = true;
    dlg.SetStatusText("identifying platforms");
    EXPECT_EQ(IsDlgButtonChecked(hwnd, kScanMapped), BST_CHECKED);
    dlg.run.options.scanMappedDrives = false;
    dlg.ShowCurrentFile("C:\\a.exe");
    EXPECT_EQ(IsDlgButtonChecked(hwnd, kScanMapped), BST_UNCHECKED);
}

// File names come faster than anyone reads them: after one is shown, the
// next ones wait at least 50 ms (at most a second) and the latest of them is
// shown then, or before the walk handles a message. A phase text ends the wait.
TEST_F(StatusLine, FileNamesAtAReadableRateAlwaysTheLatest) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    dlg.SetStatusText("identifying platforms");
    dlg.ShowCurrentFile("C:\\one.exe");
    EXPECT_EQ(Shown(), "C:\\one.exe");   // the first after a phase text: at once
    DWORD shownAt = GetTickCount();
    dlg.ShowCurrentFile("C:\\two.exe");
    dlg.ShowCurrentFile("C:\\three.exe");
    dlg.PumpOneMessage();
    // (An emulated CPU may take longer than the wait between two calls.)
    if (GetTickCount() - shownAt < 40) EXPECT_EQ(Shown(), "C:\\one.exe");
    // Within its wait (longer where showing a name is slow), the latest one.
    EXPECT_TRUE(testsupport::ui::WaitUntil([&] {
        dlg.PumpOneMessage();
        return Shown() == "C:\\three.exe";
    }, 2000, 20));

    shownAt = GetTickCount();
    dlg.ShowCurrentFile("C:\\four.exe");
    if (GetTickCount() - shownAt < 40) EXPECT_EQ(Shown(), "C:\\three.exe");
    PostMessageA(hwnd, WM_NULL, 0, 0);
    dlg.PumpOneMessage();
    EXPECT_EQ(Shown(), "C:\\four.exe");   // before the message is handled

    dlg.SetStatusText("Procedure completed.");
    EXPECT_EQ(Shown(), "Procedure completed.");
    dlg.ShowCurrentFile("C:\\five.exe");
    EXPECT_EQ(Shown(), "C:\\five.exe");
}

TEST_F(StatusLine, SilentModeShowsNothing) {
    dlg.SetStatusText("before");
    dlg.run.options.silentMode = true;
    EXPECT_EQ(dlg.SetStatusText("creating log file"), 0);
    dlg.ShowCurrentFile("C:\\a.exe");
    EXPECT_EQ(Shown(), "before");
}

}  // namespace
