// Runs the program's file walk alone, with the program's own option parser,
// platform check and function table, and prints what it counted:
//   walk_probe.exe /ONLYDIR=... [/EXCLUDE=...] [/MAPPED] [/LOG=...]
// The tests copy it under a name that Wine reports as another Windows
// version, which an in-process test cannot do.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/environment.h"
#include "run/log.h"
#include "app/removal_run.h"
#include "scan/walk.h"

int main() {
    RemovalRun run;
    const char* raw = GetCommandLineA();
    std::vector<char> line(raw, raw + std::strlen(raw) + 1);
    ParseCommandLine(line.data(), run.options, *run.def);
    run.options.silentMode = true;
    IdentifyPlatform(run.flags);
    run.flags.maxPathChars = run.flags.isNtFamily ? kMaxPathCharsNt : kMaxPathChars9x;
    if (!LoadApiTable(run.api, run.flags)) {
        std::printf("api table failed\n");
        return 1;
    }
    OpenLogFile(run.log, run.options.logPath.c_str());
    RunProgress silent;
    int result = ScanDrives(run, silent) ? 1 : 0;
    run.log.Close();
    std::printf("platform=%s scanned=%u result=%d\n", run.flags.isNtFamily ? "nt" : "9x",
                static_cast<unsigned>(run.stats.filesScanned), result);
    std::fflush(stdout);
    return 0;
}
