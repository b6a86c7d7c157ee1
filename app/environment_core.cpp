#include "app/environment_core.h"

const char kSystemRestoreEnabledWarning[] =
    "The tool has detected that you are running Windows ME\n"
    "and the System Restore option is currently enabled.\n"
    "\n"
    "If the computer is infected with the threat,\n"
    "then it is possible that the threat could be backed up in\n"
    "the _RESTORE folder. By default, Windows prevents System\n"
    "Restore from being modified by outside programs.\n"
    "Because of this, any threat removal attempts made by the tool will fail.\n"
    "To work around this, you must disable System Restore, and restart\n"
    "the computer. To disable System Restore:\n"
    " - Press CANCEL to exit the removal tool.\n"
    " - Close all programs.\n"
    " - Right-click My Computer on the Windows desktop, and then click Properties.\n"
    " - Click the Performance tab -> File System -> Troubleshooting tab.\n"
    " - Check Disable System Restore, click OK, and then click Close.\n"
    " - Click Yes to restart.\n"
    " - Run the removal tool again.\n"
    "\n"
    "If you still wish to run the tool with the enabled System Restore,\n"
    "press OK. The threat removal result might be unsuccessful in this case.";

const char kSystemRestoreDisabledNotice[] =
    "The tool has detected that you are running Windows ME\n"
    "and the System Restore option is currently disabled.\n"
    "\n"
    "To enable the System Restore option:\n"
    " - Press Ok to exit the removal tool.\n"
    " - Close all programs.\n"
    " - Right-click My Computer on the Windows desktop, and then click Properties.\n"
    " - Click the Performance tab -> File System -> Troubleshooting tab.\n"
    " - Uncheck Disable System Restore, click OK, and then click Close.\n"
    " - Click Yes to restart.";

const char kRebootQuestion[] =
    "To clean up all remnants of the threat from your system you must reboot. Press OK to reboot now.\n";

int ClassifyPlatform(uint32_t platformId, uint32_t major, uint32_t minor, RunFlags& f) {
    if (platformId == kPlatformNt) {
        f.isNtFamily = true;
        if (major <= 4) {
            f.isNt4 = true;
        } else if (major == 5) {
            if (minor == 0) f.isWin2000 = true;
            else if (minor != 1) return 0;
        } else {
            return 0;
        }
        return 1;
    }
    if (platformId == kPlatformWin9x && major == 4) {
        f.isWin9xFamily = true;
        if (minor == 90) f.isWinMe = true;
        else if (minor != 0 && minor != 10) return 0;
        return 1;
    }
    return 0;
}

int BootModeAllowed(uint32_t required, uint32_t current) {
    switch (required) {
        case 0: return current == 0;
        case 1: return current == 1 || current == 2;
        case 2: return current == 2;
        default: return 1;
    }
}
