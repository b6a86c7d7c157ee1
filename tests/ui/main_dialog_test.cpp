// The main dialog before a run: layout, agreement, About, Close.
#include "fixquorvin_ui.h"

using namespace ui_test;

namespace {

TEST(MainDialog, IdleLayout) {
    FixQuorvin app("");
    ASSERT_TRUE(app.started);
    HWND eula = app.Agreement();
    ASSERT_NE(eula, nullptr);
    Shot({eula}, "agreement");
    qt::ui::Press(eula, IDOK);
    HWND dlg = app.MainDialog();
    ASSERT_NE(dlg, nullptr);
    Shot({dlg}, "main-idle");
    EXPECT_EQ(qt::ui::ItemText(dlg, IDCANCEL), "&Close");
    qt::ui::Press(dlg, IDCANCEL);
    EXPECT_EQ(app.process.Wait(10000), 0u);
    EXPECT_FALSE(app.HasLog());
}

}  // namespace
