// The dialogs before a run: agreement, help, main dialog, About, Close and Esc,
// "/NOCANCEL", the second copy.
#include "support/fixquorvin_ui.h"

#include "run/options_core.h"

using namespace ui_test;

namespace {

std::string LegalCopyrightOfProgram() {
    std::string path = testsupport::BinDir() + "\\FixQuorvin.exe";
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    std::vector<char> data(size);
    char* value = nullptr;
    UINT len = 0;
    if (!size || !GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\StringFileInfo\\040904b0\\LegalCopyright", reinterpret_cast<void**>(&value),
                        &len))
        return std::string();
    return value;
}

TEST(Agreement, DeclineIsDefaultAndEndsWithoutLog) {
    FixQuorvin app("");
    ASSERT_TRUE(app.started);
    HWND eula = app.Agreement();
    ASSERT_NE(eula, nullptr);
    // Decline is the default button; the text is not shown selected.
    LRESULT def = SendMessageA(eula, DM_GETDEFID, 0, 0);
    EXPECT_EQ(HIWORD(def), DC_HASDEFID);
    EXPECT_EQ(LOWORD(def), IDCANCEL);
    HWND text = GetDlgItem(eula, kAgreementText);
    ASSERT_TRUE(testsupport::ui::WaitUntil([&] { return SendMessageA(text, WM_GETTEXTLENGTH, 0, 0) > 1000; }, 5000));
    Sleep(300);   // the selection is taken away once the dialog is up
    DWORD sel = static_cast<DWORD>(SendMessageA(text, EM_GETSEL, 0, 0));
    EXPECT_EQ(LOWORD(sel), HIWORD(sel)) << "selection " << LOWORD(sel) << ".." << HIWORD(sel);
    EXPECT_TRUE(GetWindowLongA(text, GWL_STYLE) & ES_READONLY);
    EXPECT_EQ(testsupport::ui::ItemText(eula, IDOK), "I &Accept");
    EXPECT_EQ(testsupport::ui::ItemText(eula, IDCANCEL), "I &Decline");
    Shot({eula}, "agreement");

    // The main dialog is not shown before the agreement is accepted.
    EXPECT_EQ(testsupport::ui::WaitForDialog(app.Id(), kTitle, kStart, 0), nullptr);
    testsupport::ui::Press(eula, IDCANCEL);
    EXPECT_EQ(app.process.Wait(10000), 0u);
    EXPECT_FALSE(app.HasLog());
}

TEST(Agreement, HelpFollowsTheAgreementThenTheDialogWaits) {
    FixQuorvin app("/HELP");
    HWND eula = app.Agreement();
    ASSERT_NE(eula, nullptr);
    EXPECT_TRUE(testsupport::ui::MessageBoxes(app.Id(), "FixQuorvin").empty());
    testsupport::ui::Press(eula, IDOK);
    HWND help = app.Box("FixQuorvin");
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(testsupport::ui::MessageBoxText(help), kHelpText);
    EXPECT_EQ(testsupport::ui::MessageBoxIcon(help), static_cast<UINT>(MB_ICONINFORMATION));
    Shot({help}, "help");
    testsupport::ui::Press(help, IDOK);

    HWND dlg = app.MainDialog();
    ASSERT_NE(dlg, nullptr);
    Sleep(500);
    EXPECT_TRUE(testsupport::ui::ItemEnabled(dlg, kStart));
    EXPECT_FALSE(app.HasLog());   // waiting for Start
    testsupport::ui::Press(dlg, IDCANCEL);
    EXPECT_EQ(app.process.Wait(10000), 0u);
    EXPECT_FALSE(app.HasLog());
}

TEST(MainDialog, IdleLayoutAndAbout) {
    FixQuorvin app("");
    HWND dlg = app.Accept();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(testsupport::ui::ItemText(dlg, IDCANCEL), "&Close");
    EXPECT_EQ(testsupport::ui::ItemText(dlg, kStart), "Start");
    EXPECT_EQ(testsupport::ui::ItemText(dlg, kAbout), "About...");
    EXPECT_EQ(testsupport::ui::ItemText(dlg, kStatus), "");   // cleared at start
    EXPECT_TRUE(testsupport::ui::ItemEnabled(dlg, kStart));
    EXPECT_TRUE(testsupport::ui::ItemEnabled(dlg, IDCANCEL));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(dlg, kScanMapped)));
    // No default button: the dialog's default id names none of its controls.
    LRESULT def = SendMessageA(dlg, DM_GETDEFID, 0, 0);
    if (HIWORD(def) == DC_HASDEFID) {
        EXPECT_EQ(GetDlgItem(dlg, LOWORD(def)), nullptr) << LOWORD(def);
    }

    // The banner reaches the status line's right edge and ends just above it.
    RECT banner, status;
    GetWindowRect(GetDlgItem(dlg, kBanner), &banner);
    GetWindowRect(GetDlgItem(dlg, kStatus), &status);
    EXPECT_EQ(banner.right, status.right);
    EXPECT_EQ(banner.bottom, status.top - 1);
    Shot({dlg}, "main-idle");

    testsupport::ui::Press(dlg, kAbout);
    HWND about = testsupport::ui::WaitForDialog(app.Id(), "About...", kLegal, kWindowWait);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(testsupport::ui::ItemText(about, kAboutTitle), kTitle);
    std::string legal = LegalCopyrightOfProgram();
    EXPECT_FALSE(legal.empty());
    EXPECT_EQ(testsupport::ui::ItemText(about, kLegal), legal);
    Shot({dlg, about}, "about");
    testsupport::ui::Press(about, IDOK);
    ASSERT_TRUE(testsupport::ui::WaitGone(about, 5000));

    // The same dialog from the system menu's entry.
    PostMessageA(dlg, WM_SYSCOMMAND, 16, 0);
    about = testsupport::ui::WaitForDialog(app.Id(), "About...", kLegal, kWindowWait);
    ASSERT_NE(about, nullptr);
    testsupport::ui::Press(about, IDOK);
    ASSERT_TRUE(testsupport::ui::WaitGone(about, 5000));

    testsupport::ui::Press(dlg, IDCANCEL);
    EXPECT_EQ(app.process.Wait(10000), 0u);
    EXPECT_FALSE(app.HasLog());
}

TEST(MainDialog, EscAndCloseBoxBeforeStartEndWithoutLog) {
    // Esc reaches the dialog through its own keyboard handling (sent to a control).
    const struct { const char* what; bool toControl; UINT message; WPARAM wParam; } closings[] = {
        {"Esc", true, WM_KEYDOWN, VK_ESCAPE},
        {"close box", false, WM_SYSCOMMAND, SC_CLOSE},
    };
    for (const auto& c : closings) {
        FixQuorvin app("");
        HWND dlg = app.Accept();
        ASSERT_NE(dlg, nullptr) << c.what;
        PostMessageA(c.toControl ? GetDlgItem(dlg, kStart) : dlg, c.message, c.wParam, 0);
        EXPECT_EQ(app.process.Wait(10000), 0u) << c.what;
        EXPECT_FALSE(app.HasLog()) << c.what;
    }
}

// With /EXITCODE a dialog closed before any run did not do what it was started for.
TEST(MainDialog, ClosedWithoutARunIsCodeThreeWithExitCode) {
    FixQuorvin app("/EXITCODE /DRYRUN");
    HWND dlg = app.Accept();
    ASSERT_NE(dlg, nullptr);
    testsupport::ui::Press(dlg, IDCANCEL);
    EXPECT_EQ(app.process.Wait(10000), 3u);
}

TEST(MainDialog, NoCancelIgnoresCancelEscAndCloseBox) {
    FixQuorvin app("/NOCANCEL");
    HWND dlg = app.Accept();
    ASSERT_NE(dlg, nullptr);
    ASSERT_TRUE(testsupport::ui::WaitUntil([&] { return !testsupport::ui::ItemEnabled(dlg, IDCANCEL); }, 5000));
    EXPECT_EQ(testsupport::ui::ItemText(dlg, IDCANCEL), "&Close");
    PostMessageA(GetDlgItem(dlg, kStart), WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(dlg, WM_CLOSE, 0, 0);
    PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(app.process.Wait(2000), 0xFFFFFFFFu);   // still running
    EXPECT_TRUE(IsWindowVisible(dlg));
    Shot({dlg}, "main-nocancel");
    app.process.Kill();
}

// The first copy holds the instance from its agreement on; a second copy
// runs nothing: in dialog mode it warns, a silent one (nobody there to answer
// a box) ends at once without a word.
TEST(SingleInstance, SecondCopyWarnsAndExits) {
    FixQuorvin first("");
    HWND eula = first.Agreement();
    ASSERT_NE(eula, nullptr);
    auto silentlyAway = [&] {
        std::string log = first.workDir + "\\second.log";
        testsupport::Process second;
        ASSERT_TRUE(second.Start("\"" + testsupport::BinDir() + "\\FixQuorvin.exe\" /S /LOG=" + log, first.workDir));
        EXPECT_EQ(second.Wait(kWindowWait), 0u) << "the silent copy waits for somebody";
        EXPECT_FALSE(testsupport::FileExists(log));
        EXPECT_FALSE(first.HasLog());
    };
    auto turnedAway = [&](const std::string& switches) {
        testsupport::Process second;
        ASSERT_TRUE(second.Start("\"" + testsupport::BinDir() + "\\FixQuorvin.exe\" " + switches, first.workDir));
        // The box has no caption of its own; it is the only window of that copy.
        HWND box = testsupport::ui::WaitForWindow(second.Id(), "", "#32770", kWindowWait);
        ASSERT_NE(box, nullptr) << switches;
        EXPECT_EQ(testsupport::ui::MessageBoxText(box), "Only one Trevask running at a time please, exiting!");
        EXPECT_EQ(testsupport::ui::MessageBoxIcon(box), static_cast<UINT>(MB_ICONEXCLAMATION));
        testsupport::ui::Press(box, IDOK);
        EXPECT_EQ(second.Wait(10000), 0u);
        EXPECT_FALSE(first.HasLog()) << switches;
    };
    silentlyAway();
    testsupport::ui::Press(eula, IDOK);
    HWND dlg = first.MainDialog();
    ASSERT_NE(dlg, nullptr);
    turnedAway("");
    EXPECT_TRUE(IsWindowVisible(dlg));   // the first copy is untouched
    testsupport::ui::Press(dlg, IDCANCEL);
    EXPECT_EQ(first.process.Wait(10000), 0u);

    // Once the first copy is gone a new one starts normally.
    testsupport::ProcessResult r = testsupport::Run("\"" + testsupport::BinDir() + "\\FixQuorvin.exe\" /S /NOFILESCAN", first.workDir);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_NE(first.Log().find("No files were scanned by the tool..."), std::string::npos) << first.Log();
}

}  // namespace
