// Prints the platform flags IdentifyPlatform sets for the version Wine reports
// to this program's name.
#include <cstdio>

#include "app/environment.h"
#include "run/run_state.h"

int main() {
    RunFlags flags;
    int known = IdentifyPlatform(flags);
    std::printf("known=%d nt=%d nt4=%d w2k=%d w9x=%d me=%d\n", known, flags.isNtFamily, flags.isNt4,
                flags.isWin2000, flags.isWin9xFamily, flags.isWinMe);
    return 0;
}
