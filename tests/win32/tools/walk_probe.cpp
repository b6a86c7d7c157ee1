// Runs the program's file walk alone, with the program's own option parser,
// platform check and function table, and prints what it counted:
//   walk_probe.exe /ONLYDIR=... [/EXCLUDE=...] [/MAPPED] [/LOG=...]
// The tests copy it under a name that Wine reports as another Windows
// version, which an in-process test cannot do.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/TrevaskDlg.h"
#include "app/environment.h"
#include "app/log.h"
#include "app/run_state.h"
#include "app/threat_definition.h"
#include "scan/api_table.h"
#include "scan/walk.h"

int main() {
    TrevaskDlg dlg;
    dlg.options = DefaultRunOptions(*g_def);
    const char* raw = GetCommandLineA();
    std::vector<char> line(raw, raw + std::strlen(raw) + 1);
    ParseCommandLine(line.data(), dlg.options, *g_def);
    g_run.silentMode = true;
    g_run.onlyDirPath = dlg.options.onlyDirPath;
    IdentifyPlatform();
    g_run.maxPathChars = g_run.isNtFamily ? kMaxPathCharsNt : kMaxPathChars9x;
    if (!LoadApiTable()) {
        std::printf("api table failed\n");
        return 1;
    }
    OpenLogFile(dlg.options.logPath.c_str());
    int result = ScanDrives(dlg);
    CloseLogFile();
    std::printf("platform=%s scanned=%u result=%d\n", g_run.isNtFamily ? "nt" : "9x",
                static_cast<unsigned>(g_stats.filesScanned), result);
    std::fflush(stdout);
    return 0;
}
