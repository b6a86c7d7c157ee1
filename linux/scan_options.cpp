#include "linux/scan_options.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>

namespace native {

const char kUsageText[] =
    "Usage: fixquorvin [OPTION]... PATH...\n"
    "Removes W32.Quorvin from the directory trees at PATH: repairs infected programs,\n"
    "deletes the threat's own files and its dropper. A PATH that holds an offline\n"
    "Windows volume (Windows/System32/config/SOFTWARE) also has the threat's files\n"
    "and registry entries of that volume removed.\n"
    "\n"
    "  -n, --dry-run          report what would be done; change nothing\n"
    "      --exclude=PATH     leave PATH (a file or a whole tree) alone; repeatable\n"
    "      --log=FILE         write the log to FILE (CR LF lines, as the Windows tool's)\n"
    "      --quarantine=DIR   keep a copy of every file before it is repaired or deleted,\n"
    "                         in DIR, one entry per file (see below)\n"
    "      --jobs=N           detect with N threads (default: one per processor)\n"
    "      --cross-filesystems  descend into other file systems mounted in the trees\n"
    "      --windows-root=PATH  the root of an offline Windows volume (default: each\n"
    "                         PATH that holds one)\n"
    "  -h, --help             show this text\n"
    "\n"
    "Symbolic links below PATH are never followed.\n"
    "\n"
    "Exit status:\n"
    "  0  nothing was found\n"
    "  1  the threat was found and everything found was cleaned\n"
    "  2  the threat was found and something could not be cleaned\n"
    "  3  usage error, a file or directory could not be read, another run holds\n"
    "     a tree, or the run was interrupted (SIGINT, SIGTERM); 3 outranks 2\n"
    "With --dry-run, 1 and 2 say what a real run would give.\n"
    "\n"
    "A quarantine folder holds fixquorvin-quarantine.txt, which describes it; no\n"
    "run scans or changes a folder that holds that file. An existing folder is\n"
    "used only when it is empty or such a quarantine. Each entry is a pair:\n"
    "NNNNNNNN.info (the original path, what was done, mode, owner, size, times)\n"
    "and NNNNNNNN.data (the bytes, every byte other than 00 and A5 XORed with A5,\n"
    "so that nothing takes a copy for a program).\n";

namespace {

bool TakeValue(const std::string& arg, const char* name, std::string& value) {
    std::string prefix = std::string(name) + "=";
    if (arg.compare(0, prefix.size(), prefix) != 0) return false;
    value = arg.substr(prefix.size());
    return true;
}

// Absolute and without trailing slashes, so that walk paths can be compared.
std::string Absolute(const std::string& path) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        std::string out = resolved;
        std::free(resolved);
        return out;
    }
    std::string out = path;
    if (!out.empty() && out[0] != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (cwd) out = std::string(cwd) + "/" + out;
        std::free(cwd);
    }
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, unsigned processors) {
    CommandLine cl;
    cl.settings.jobs = processors ? processors : 1;
    bool optionsEnd = false;
    for (const std::string& arg : args) {
        std::string value;
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            cl.paths.push_back(arg);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "-h" || arg == "--help") {
            cl.help = true;
        } else if (arg == "-n" || arg == "--dry-run") {
            cl.settings.dryRun = true;
        } else if (arg == "--cross-filesystems") {
            cl.settings.crossFilesystems = true;
        } else if (TakeValue(arg, "--exclude", value) && !value.empty()) {
            cl.settings.excludes.push_back(Absolute(value));
        } else if (TakeValue(arg, "--log", value) && !value.empty()) {
            cl.logPath = value;
        } else if (TakeValue(arg, "--quarantine", value) && !value.empty()) {
            cl.settings.quarantineDir = Absolute(value);
        } else if (TakeValue(arg, "--windows-root", value) && !value.empty()) {
            cl.windowsRoot = Absolute(value);
        } else if (TakeValue(arg, "--jobs", value)) {
            char* end = nullptr;
            long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || n < 1 || n > 256) {
                cl.error = "invalid --jobs value: " + value;
                return cl;
            }
            cl.settings.jobs = static_cast<unsigned>(n);
        } else {
            cl.error = "unknown option: " + arg;
            return cl;
        }
    }
    if (!cl.help && cl.paths.empty() && cl.windowsRoot.empty()) cl.error = "no PATH given";
    if (cl.settings.quarantineDir == "/") cl.error = "the quarantine folder cannot be /";
    return cl;
}

}  // namespace native
