// A run driven through the main dialog: the status line during the run, the
// report box, Cancel with its confirmation, "/NOCANCEL" during the run.
#include "support/fixquorvin_ui.h"

#include <cstdio>

#include "tests/samples/sample_factory_core.h"

using namespace ui_test;

namespace {

const char kNotFound[] = "W32.Quorvin has not been found on your computer.";
const char kNotFoundCancelled[] =
    "W32.Quorvin has not been found on your computer, but the scan\n"
    "was cancelled before it finished. The threat may still be present on the machine.";

// Everything the status line showed, in order, without repeats, until `until`
// holds. Read without sending messages, so busy phases do not hold us up.
struct StatusWatch {
    std::vector<std::string> seen;
    void Poll(HWND dlg) {
        std::string text = testsupport::ui::ItemText(dlg, kStatus);
        if (seen.empty() || seen.back() != text) seen.push_back(text);
    }
    bool Saw(const std::string& text) const {
        for (const std::string& s : seen)
            if (s == text) return true;
        return false;
    }
    bool SawFileUnder(const std::string& root) const {
        for (const std::string& s : seen)
            if (StartsWith(s, root)) return true;
        return false;
    }
};

// Waits for the status line to show a file of the tree.
bool WaitForScan(HWND dlg, const std::string& root, DWORD timeoutMs) {
    return testsupport::ui::WaitUntil([&] { return StartsWith(testsupport::ui::ItemText(dlg, kStatus), root); }, timeoutMs, 5);
}

// Accepts the agreement, presses Start and waits for the status line to show
// a file under shownRoot: the main dialog, or null when any of it failed.
HWND StartedScan(FixQuorvin& app, const std::string& shownRoot) {
    HWND dlg = app.Accept();
    if (!dlg) return nullptr;
    testsupport::ui::Press(dlg, kStart);
    return WaitForScan(dlg, shownRoot, 60000) ? dlg : nullptr;
}

// OK on the report; the program then ends with exit code 0.
void CloseReport(FixQuorvin& app, HWND report) {
    testsupport::ui::Press(report, IDOK);
    EXPECT_EQ(app.process.Wait(30000), 0u);
}

// The report box that follows an answered cancel confirmation (the
// confirmation has the same caption, so its text tells them apart).
HWND WaitForReportAfterConfirmation(FixQuorvin& app) {
    HWND report = nullptr;
    bool shown = testsupport::ui::WaitUntil(
        [&] {
            std::vector<HWND> boxes = testsupport::ui::MessageBoxes(app.Id(), kTitle);
            report = boxes.empty() ? nullptr : boxes.front();
            return report && testsupport::ui::MessageBoxText(report) != kCancelQuestion;
        },
        60000, 50);
    return shown ? report : nullptr;
}

TEST(Run, CleanMachineShowsPhasesFilesAndTheReport) {
    std::string root = MakeTree("clean", 20, 40);
    // Shown in upper case: the command line is upper-cased before the switches are read.
    std::string shownRoot = root;
    for (char& c : shownRoot) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    FixQuorvin app("/ONLYDIR=" + root);
    HWND dlg = app.Accept();
    ASSERT_NE(dlg, nullptr);
    testsupport::ui::Press(dlg, kStart);

    StatusWatch watch;
    HWND report = nullptr;
    bool runningChecked = false;
    DWORD start = GetTickCount();
    while (!report && GetTickCount() - start < 180000) {
        watch.Poll(dlg);
        if (!runningChecked && watch.SawFileUnder(shownRoot)) {
            EXPECT_FALSE(testsupport::ui::ItemEnabled(dlg, kStart));
            EXPECT_EQ(testsupport::ui::ItemText(dlg, IDCANCEL), "&Cancel");
            runningChecked = true;
        }
        report = testsupport::ui::WaitForMessageBox(app.Id(), kTitle, 0);
        Sleep(1);
    }
    ASSERT_NE(report, nullptr);
    watch.Poll(dlg);

    EXPECT_TRUE(watch.SawFileUnder(shownRoot)) << "no scanned file was shown";
    EXPECT_EQ(watch.seen.back(), "Procedure completed.");
    // The phases pass in a few milliseconds, so any of them may be missed by
    // the polling; whatever was seen must be a phase text, in the order of
    // the run, and come before the first file.
    const std::vector<std::string> order = {"", "creating log file", "identifying platforms",
                                            "checking system restore", "verifying privileges", "process: "};
    size_t last = 0;
    bool inFiles = false;
    for (const std::string& shown : watch.seen) {
        if (StartsWith(shown, shownRoot)) {
            inFiles = true;
            continue;
        }
        if (shown == "Procedure completed.") continue;
        // The process phase shows every process's name.
        const std::string phase = StartsWith(shown, "process: ") ? "process: " : shown;
        size_t at = 0;
        while (at < order.size() && order[at] != phase) ++at;
        EXPECT_LT(at, order.size()) << "unexpected status text: " << shown;
        EXPECT_GE(at, last) << "phase out of order: " << shown;
        EXPECT_FALSE(inFiles) << "phase text after the scan began: " << shown;
        if (at < order.size()) last = at;
    }
    EXPECT_FALSE(testsupport::ui::ItemEnabled(dlg, kStart));

    // A clean machine: that one line and nothing else.
    EXPECT_EQ(testsupport::ui::MessageBoxText(report), std::string(kNotFound) + "\n");
    EXPECT_EQ(testsupport::ui::MessageBoxIcon(report), static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(GetWindow(report, GW_OWNER), dlg);
    Shot({dlg, report}, "report");

    CloseReport(app, report);
    std::string log = app.Log();
    EXPECT_TRUE(StartsWith(log, kTitle + "\r\n")) << log;
    EXPECT_NE(log.find(std::string(kNotFound) + "\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("cancelled"), std::string::npos) << log;
}

TEST(Run, ScreenshotDuringTheScan) {
    FixQuorvin app("/ONLYDIR=" + MakeTree("shot", 40, 100));
    HWND dlg = StartedScan(app, "C:\\QUORVIN\\WORK\\SHOT");
    ASSERT_NE(dlg, nullptr);
    Shot({dlg}, "main-scanning");
    HWND report = app.Box(kTitle, 180000);
    ASSERT_NE(report, nullptr);
    CloseReport(app, report);
}

// A folder that is not there: the box says that nothing was scanned, never
// that the threat is not on the computer.
TEST(Run, OnlyDirThatIsNotThereIsNoCleanReport) {
    FixQuorvin app("/ONLYDIR=C:\\quorvin\\work\\not-there");
    HWND dlg = app.Accept();
    ASSERT_NE(dlg, nullptr);
    testsupport::ui::Press(dlg, kStart);
    HWND report = app.Box(kTitle, 60000);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(testsupport::ui::MessageBoxText(report),
              "directory C:\\QUORVIN\\WORK\\NOT-THERE: (WARNING: not scanned, not found)\n"
              "No file was scanned: the folder given with /ONLYDIR= does not exist.\n");
    EXPECT_EQ(testsupport::ui::MessageBoxIcon(report), static_cast<UINT>(MB_ICONEXCLAMATION));
    Shot({dlg, report}, "report-not-scanned");
    CloseReport(app, report);
}

// A dry run through the dialog: the report box shows what a real run would
// do, nothing is changed, and the exit code comes once the dialog is closed.
TEST(Run, DryRunShowsItsReportAndEndsWithItsExitCode) {
    const std::string root = testsupport::NewWorkDir("dry");
    const samples::Bytes infected =
        samples::MakeInfected(testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe"), {.seed = 811});
    ASSERT_FALSE(infected.empty());
    ASSERT_TRUE(testsupport::WriteBytes(root + "\\app.exe", infected));
    FixQuorvin app("/DRYRUN /EXITCODE /ONLYDIR=" + root);
    HWND dlg = app.Accept();
    ASSERT_NE(dlg, nullptr);
    testsupport::ui::Press(dlg, kStart);
    HWND report = app.Box(kTitle, 120000);
    ASSERT_NE(report, nullptr);
    const std::string text = testsupport::ui::MessageBoxText(report);
    EXPECT_TRUE(StartsWith(text, "W32.Quorvin was found: a real run would make 1 repair and delete 0 files.\n")) << text;
    EXPECT_NE(text.find("\n(would be) repaired: 1\n"), std::string::npos) << text;
    testsupport::ui::Press(report, IDOK);
    EXPECT_EQ(app.process.Wait(30000), 1u);
    EXPECT_EQ(testsupport::ReadBytes(root + "\\app.exe"), infected);
    EXPECT_TRUE(app.Log().ends_with("\r\nDry run: nothing was changed.\r\n")) << app.Log();
}

// A tree big enough that the scan is still running while the test answers
// the confirmation twice.
constexpr int kBigDirs = 60, kBigFiles = 100;

TEST(Cancel, NoContinuesAboutHoldsYesStopsAndReports) {
    FixQuorvin app("/ONLYDIR=" + MakeTree("cancel", kBigDirs, kBigFiles));
    HWND dlg = StartedScan(app, "C:\\QUORVIN\\WORK\\CANCEL");
    ASSERT_NE(dlg, nullptr);

    testsupport::ui::Press(dlg, IDCANCEL);
    HWND confirm = app.Box();
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(testsupport::ui::MessageBoxText(confirm), kCancelQuestion);
    EXPECT_EQ(testsupport::ui::MessageBoxIcon(confirm), static_cast<UINT>(MB_ICONQUESTION));
    EXPECT_EQ(GetWindow(confirm, GW_OWNER), nullptr);
    EXPECT_NE(GetDlgItem(confirm, IDYES), nullptr);
    EXPECT_NE(GetDlgItem(confirm, IDNO), nullptr);
    // The walk waits while the question is open.
    std::string held = testsupport::ui::ItemText(dlg, kStatus);
    Shot({dlg, confirm}, "cancel-confirmation");
    EXPECT_EQ(testsupport::ui::ItemText(dlg, kStatus), held);

    // No: the scan goes on.
    testsupport::ui::Press(confirm, IDNO);
    ASSERT_TRUE(testsupport::ui::WaitGone(confirm, 5000));
    EXPECT_TRUE(testsupport::ui::WaitUntil([&] { return testsupport::ui::ItemText(dlg, kStatus) != held; }, 10000))
        << "the scan did not continue after No";
    EXPECT_TRUE(testsupport::ui::MessageBoxes(app.Id(), kTitle).empty()) << "the scan ended before the About dialog";

    // About during the scan: the walk waits inside the dispatched command
    // until the dialog is closed, then goes on.
    testsupport::ui::Press(dlg, kAbout);
    HWND about = testsupport::ui::WaitForDialog(app.Id(), "About...", kLegal, kWindowWait);
    ASSERT_NE(about, nullptr);
    held = testsupport::ui::ItemText(dlg, kStatus);
    Sleep(1500);
    EXPECT_EQ(testsupport::ui::ItemText(dlg, kStatus), held) << "the scan went on behind the About dialog";
    testsupport::ui::Press(about, IDOK);
    ASSERT_TRUE(testsupport::ui::WaitGone(about, 5000));
    EXPECT_TRUE(testsupport::ui::WaitUntil([&] { return testsupport::ui::ItemText(dlg, kStatus) != held; }, 10000))
        << "the scan did not continue after the About dialog";
    EXPECT_TRUE(testsupport::ui::MessageBoxes(app.Id(), kTitle).empty()) << "the scan ended before the second Cancel";

    // Yes: the scan stops and the report says so.
    testsupport::ui::Press(dlg, IDCANCEL);
    confirm = app.Box();
    ASSERT_NE(confirm, nullptr);
    ASSERT_EQ(testsupport::ui::MessageBoxText(confirm), kCancelQuestion);
    held = testsupport::ui::ItemText(dlg, kStatus);
    testsupport::ui::Press(confirm, IDYES);
    ASSERT_TRUE(testsupport::ui::WaitGone(confirm, 5000));
    // No file after the one being scanned is shown; the run goes to its report.
    StatusWatch watch;
    HWND report = nullptr;
    DWORD start = GetTickCount();
    while (!report && GetTickCount() - start < 60000) {
        watch.Poll(dlg);
        std::vector<HWND> boxes = testsupport::ui::MessageBoxes(app.Id(), kTitle);
        report = boxes.empty() ? nullptr : boxes.front();
        Sleep(1);
    }
    ASSERT_NE(report, nullptr);
    watch.Poll(dlg);
    for (const std::string& shown : watch.seen) {
        if (StartsWith(shown, "C:\\")) {
            EXPECT_EQ(shown, held) << "scanned after Yes";
        }
    }
    EXPECT_EQ(watch.seen.back(), "Procedure completed.");
    EXPECT_EQ(testsupport::ui::MessageBoxText(report), std::string(kNotFoundCancelled) + "\n");
    EXPECT_EQ(testsupport::ui::MessageBoxIcon(report), static_cast<UINT>(MB_ICONEXCLAMATION));
    Shot({dlg, report}, "report-cancelled");
    CloseReport(app, report);

    std::string log = app.Log();
    EXPECT_EQ(testsupport::Count(log, kCancelledLine), 1u) << log;
    // The cancellation line comes before the report.
    EXPECT_LT(log.find(kCancelledLine), log.find("W32.Quorvin has not been found")) << log;
}

TEST(Cancel, TwoQuickCancelsOpenOneConfirmation) {
    FixQuorvin app("/ONLYDIR=" + MakeTree("twice", kBigDirs, kBigFiles));
    HWND dlg = StartedScan(app, "C:\\QUORVIN\\WORK\\TWICE");
    ASSERT_NE(dlg, nullptr);

    // Two clicks and an Esc in a row; the second and third arrive while the
    // first confirmation's own message loop runs.
    testsupport::ui::Press(dlg, IDCANCEL);
    testsupport::ui::Press(dlg, IDCANCEL);
    PostMessageA(GetDlgItem(dlg, IDCANCEL), WM_KEYDOWN, VK_ESCAPE, 0);
    HWND confirm = app.Box();
    ASSERT_NE(confirm, nullptr);
    Sleep(1500);
    EXPECT_EQ(testsupport::ui::MessageBoxes(app.Id(), kTitle).size(), 1u);

    // After the first one is answered, Cancel asks again (the guard is released).
    testsupport::ui::Press(confirm, IDNO);
    ASSERT_TRUE(testsupport::ui::WaitGone(confirm, 5000));
    testsupport::ui::Press(dlg, IDCANCEL);
    confirm = app.Box();
    ASSERT_NE(confirm, nullptr);
    ASSERT_EQ(testsupport::ui::MessageBoxText(confirm), kCancelQuestion);
    testsupport::ui::Press(confirm, IDYES);
    HWND report = WaitForReportAfterConfirmation(app);
    ASSERT_NE(report, nullptr);
    CloseReport(app, report);
    EXPECT_EQ(testsupport::Count(app.Log(), kCancelledLine), 1u);
}

TEST(Cancel, EscKeyDuringTheScanAsks) {
    FixQuorvin app("/ONLYDIR=" + MakeTree("esc", kBigDirs, kBigFiles));
    // Start pressed with the mouse: the button takes the focus, then is disabled.
    HWND dlg = StartedScan(app, "C:\\QUORVIN\\WORK\\ESC");
    ASSERT_NE(dlg, nullptr);
    SetForegroundWindow(dlg);
    Sleep(200);
    // A real key press, through the display, to whatever has the focus.
    keybd_event(VK_ESCAPE, 0, 0, 0);
    keybd_event(VK_ESCAPE, 0, KEYEVENTF_KEYUP, 0);
    HWND confirm = app.Box(kTitle, 10000);
    ASSERT_NE(confirm, nullptr) << "Esc did not reach the dialog during the scan";
    EXPECT_EQ(testsupport::ui::MessageBoxText(confirm), kCancelQuestion);
    testsupport::ui::Press(confirm, IDYES);
    HWND report = WaitForReportAfterConfirmation(app);
    ASSERT_NE(report, nullptr);
    CloseReport(app, report);
}

TEST(Cancel, NoCancelKeepsCancelGreyDuringTheRun) {
    std::string root = MakeTree("nocancel", 10, 20);
    FixQuorvin app("/NOCANCEL /ONLYDIR=" + root);
    HWND dlg = app.Accept();
    ASSERT_NE(dlg, nullptr);
    ASSERT_TRUE(testsupport::ui::WaitUntil([&] { return !testsupport::ui::ItemEnabled(dlg, IDCANCEL); }, 5000));
    testsupport::ui::Press(dlg, kStart);
    HWND report = app.Box(kTitle, 120000);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(testsupport::ui::ItemText(dlg, IDCANCEL), "&Cancel");
    EXPECT_FALSE(testsupport::ui::ItemEnabled(dlg, IDCANCEL));
    CloseReport(app, report);
    EXPECT_EQ(app.Log().find("cancelled"), std::string::npos);
}

}  // namespace
