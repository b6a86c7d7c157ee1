// The native scanner's command line.
#pragma once
#include <string>
#include <vector>

#include "linux/tree_scan.h"

namespace native {

struct CommandLine {
    std::vector<std::string> paths;
    ScanSettings settings;
    std::string logPath;
    std::string windowsRoot;   // empty: looked for in each path
    std::string restoreDir;    // --restore: put originals back from this quarantine (paths: which)
    std::string listDir;       // --list: show what this quarantine holds
    bool force = false;        // --restore also over files changed since the run
    bool help = false;
    bool version = false;
    std::string error;         // usage error: the message; the run does not start
};

extern const char kUsageText[];

// argv without the program name. --jobs defaults to the number of processors.
CommandLine ParseCommandLine(const std::vector<std::string>& args, unsigned processors);

}  // namespace native
