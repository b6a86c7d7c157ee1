// Prints the platform flags IdentifyPlatform sets for the version Wine reports
// to this program's name.
#include <cstdio>

#include "app/environment.h"
#include "app/run_state.h"

int main() {
    int known = IdentifyPlatform();
    std::printf("known=%d nt=%d nt4=%d w2k=%d w9x=%d me=%d\n", known, g_run.isNtFamily, g_run.isNt4,
                g_run.isWin2000, g_run.isWin9xFamily, g_run.isWinMe);
    return 0;
}
