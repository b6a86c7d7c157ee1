// Windows ME: the System Restore warning before the run and the notice after
// it, driven through the real dialogs under Wine's "winme" version.
#include <gtest/gtest.h>

#include <string>

#include "app/environment_core.h"
#include "support/product.h"
#include "support/support.h"
#include "support/ui.h"

namespace {

const std::string& kTitle = testsupport::kProductTitle;
const char kApp[] = "FixQuorvinMe";

void SetSystemRestore(const char* value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VxD\\VxDMon", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "SystemRestore", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>(strlen(value) + 1));
    RegCloseKey(key);
}

class WindowsMe : public ::testing::Test {
protected:
    void SetUp() override {
        exe = testsupport::CopyProgramAs("FixQuorvin.exe", std::string(kApp) + ".exe");
        testsupport::SetWineVersionFor(std::string(kApp) + ".exe", "winme");
        dir = testsupport::NewWorkDir("winme");
        empty = testsupport::NewWorkDir("empty");
    }
    // Starts the program, accepts the agreement and presses Start.
    void StartRun() {
        ASSERT_TRUE(proc.Start("\"" + exe + "\" /ONLYDIR=" + empty, dir));
        HWND eula = testsupport::ui::WaitForWindow(proc.Id(), std::string(kTitle) + " EULA", "", 30000);
        ASSERT_NE(eula, nullptr);
        testsupport::ui::Press(eula, IDOK);
        HWND main = testsupport::ui::WaitForWindow(proc.Id(), kTitle, "", 30000);
        ASSERT_NE(main, nullptr);
        testsupport::ui::Press(main, 1000);
    }
    HWND WaitForBox(const std::string& caption) { return testsupport::ui::WaitForMessageBox(proc.Id(), caption, 30000); }

    std::string exe, dir, empty;
    testsupport::Process proc;
};

TEST_F(WindowsMe, RestoreOnWarnsAndCancelEndsWithoutCleaning) {
    SetSystemRestore("Y");
    StartRun();
    HWND box = WaitForBox(kApp);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(testsupport::ui::MessageBoxText(box), kSystemRestoreEnabledWarning);
    testsupport::ui::Press(box, IDCANCEL);
    EXPECT_EQ(proc.Wait(30000), 0u);
    // Only the title line: the run stopped before it cleaned anything.
    EXPECT_EQ(testsupport::ReadText(dir + "\\fixquorvin.log"), std::string(kTitle) + "\r\n");
}

TEST_F(WindowsMe, RestoreOffShowsTheNoticeAfterTheReport) {
    SetSystemRestore("N");
    StartRun();
    HWND report = WaitForBox(kTitle);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(testsupport::ui::MessageBoxText(report), "W32.Quorvin has not been found on your computer.\n");
    testsupport::ui::Press(report, IDOK);
    HWND notice = WaitForBox(kApp);
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(testsupport::ui::MessageBoxText(notice), kSystemRestoreDisabledNotice);
    testsupport::ui::Press(notice, IDOK);
    EXPECT_EQ(proc.Wait(30000), 0u);
}

}  // namespace
