// The driver reads message boxes of another process: text, caption and icon.
#include <gtest/gtest.h>

#include "support/support.h"
#include "support/ui.h"

namespace {

struct BoxCase {
    const char* kind;
    UINT icon;
};

TEST(UiDriver, ReadsMessageBoxOfAnotherProcess) {
    const BoxCase cases[] = {{"info", MB_ICONINFORMATION},
                             {"exclamation", MB_ICONEXCLAMATION},
                             {"stop", MB_ICONSTOP},
                             {"question", MB_ICONQUESTION},
                             {"none", 0}};
    for (const BoxCase& c : cases) {
        SCOPED_TRACE(c.kind);
        testsupport::Process box;
        ASSERT_TRUE(box.Start("\"" + testsupport::BinDir() + "\\show_box.exe\" " + c.kind + " \"Box Caption\" \"A & B\""));
        HWND hwnd = testsupport::ui::WaitForMessageBox(box.Id(), "Box Caption", 15000);
        ASSERT_NE(hwnd, nullptr);
        EXPECT_EQ(testsupport::ui::MessageBoxText(hwnd), "A & B");
        EXPECT_EQ(testsupport::ui::MessageBoxIcon(hwnd), c.icon);
        int answer = c.icon == MB_ICONQUESTION ? IDNO : IDOK;
        testsupport::ui::Press(hwnd, answer);
        EXPECT_EQ(box.Wait(10000), static_cast<DWORD>(answer));
    }
}

}  // namespace
