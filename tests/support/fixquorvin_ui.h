// Runs FixQuorvin.exe for the UI tests and drives its dialogs.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/product.h"
#include "support/support.h"
#include "support/ui.h"

namespace ui_test {

// The program's own texts, as the user sees them.
inline const std::string kTitle = testsupport::kProductTitle;
inline const std::string kEulaCaption = kTitle + " EULA";
inline const std::string kCancelQuestion =
    "It is important to scan all the files. Are you sure you want to cancel the scanning procedure?";
inline const std::string kCancelledLine = "\r\nThe scanning procedure was cancelled.\r\n";

// Control ids of the dialogs.
enum : int {
    kStart = 1000, kStatus = 1001, kAbout = 1002, kScanMapped = 1009, kBanner = 1011,
    kLegal = 1012, kAgreementText = 1013, kAboutTitle = 1014,
};

constexpr DWORD kWindowWait = 20000;

// One FixQuorvin.exe run in its own work folder (the log lands there).
class FixQuorvin {
public:
    explicit FixQuorvin(const std::string& args, const std::string& name = "ui") {
        static bool prepared = (testsupport::ui::PrepareDesktop(), true);
        (void)prepared;
        workDir = testsupport::NewWorkDir(name);
        started = process.Start("\"" + testsupport::BinDir() + "\\FixQuorvin.exe\" " + args, workDir);
    }
    DWORD Id() const { return process.Id(); }
    std::string LogPath() const { return workDir + "\\fixquorvin.log"; }
    bool HasLog() const { return testsupport::FileExists(LogPath()); }
    std::string Log() const { return testsupport::ReadText(LogPath()); }

    HWND Agreement() { return testsupport::ui::WaitForDialog(Id(), kEulaCaption, kAgreementText, kWindowWait); }
    HWND MainDialog() { return testsupport::ui::WaitForDialog(Id(), kTitle, kStart, kWindowWait); }
    // Accepts the agreement and returns the main dialog.
    HWND Accept() {
        HWND eula = Agreement();
        if (!eula) return nullptr;
        testsupport::ui::Press(eula, IDOK);
        return MainDialog();
    }
    HWND Box(const std::string& caption = kTitle, DWORD timeoutMs = kWindowWait) {
        return testsupport::ui::WaitForMessageBox(Id(), caption, timeoutMs);
    }

    std::string workDir;
    testsupport::Process process;
    bool started = false;
};

// A tree of `dirs` folders with `filesPerDir` small non-program files each
// under a new work folder; returns its path. The file count is dirs * filesPerDir.
inline std::string MakeTree(const std::string& name, int dirs, int filesPerDir) {
    std::string root = testsupport::NewWorkDir(name);
    std::vector<uint8_t> bytes(64, 'q');
    for (int d = 0; d < dirs; ++d) {
        std::string dir = root + "\\dir" + std::to_string(d);
        CreateDirectoryA(dir.c_str(), nullptr);
        for (int f = 0; f < filesPerDir; ++f)
            testsupport::WriteBytes(dir + "\\file" + std::to_string(f) + ".dat", bytes);
    }
    return root;
}

inline bool StartsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

// A screenshot kept with the test's artifacts (C:\quorvin\out, made PNG afterwards).
inline void Shot(const std::vector<HWND>& windows, const std::string& name) {
    EXPECT_TRUE(testsupport::ui::SaveScreenshot(windows, testsupport::OutDir() + "\\" + name + ".bmp")) << name;
}

}  // namespace ui_test
