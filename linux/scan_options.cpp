#include "linux/scan_options.h"

#include <getopt.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace native {

const char kUsageText[] =
    "Usage: fixquorvin [OPTION]... PATH...\n"
    "  or:  fixquorvin --restore=DIR [--force] [--dry-run] [--log=FILE] [PATH]...\n"
    "  or:  fixquorvin --list=DIR\n"
    "Removes W32.Quorvin from the directory trees at PATH: repairs infected programs,\n"
    "deletes the threat's own files and its dropper. A PATH that holds an offline\n"
    "Windows volume (Windows/System32/config/SOFTWARE) also has the threat's files\n"
    "and registry entries of that volume removed.\n"
    "\n"
    "  -n, --dry-run          report what would be done; change nothing\n"
    "      --exclude=PATH     leave PATH (a file or a whole tree) alone; repeatable\n"
    "      --log=FILE         write the log to FILE (CR LF lines, as the Windows tool's);\n"
    "                         FILE must be a regular file (or not exist yet)\n"
    "      --quarantine=DIR   keep a copy of every file before it is repaired or deleted,\n"
    "                         in DIR, one entry per file (see below)\n"
    "      --restore=DIR      put back the originals the quarantine DIR holds (only\n"
    "                         those at or below the PATHs given, if any); see below\n"
    "      --force            with --restore, also over a file changed since the run\n"
    "      --list=DIR         show what the quarantine DIR holds\n"
    "      --jobs=N           detect with N threads (default: one per processor)\n"
    "      --cross-filesystems  descend into other file systems mounted in the trees\n"
    "      --windows-root=PATH  the root of an offline Windows volume (default: each\n"
    "                         PATH that holds one)\n"
    "  -h, --help             show this text\n"
    "      --version          show the program's name and version\n"
    "\n"
    "Symbolic links below PATH are never followed. An option's value may follow\n"
    "it as the next argument (--log FILE) or after '=' (--log=FILE); short options\n"
    "may be bundled (-nh). The --exclude and --windows-root paths must exist.\n"
    "\n"
    "On a terminal, a progress line (files, megabytes and infections so far, files\n"
    "per second) is shown on standard error while the trees are scanned.\n"
    "\n"
    "Exit status:\n"
    "  0  nothing was found\n"
    "  1  the threat was found and everything found was cleaned\n"
    "  2  the threat was found and something could not be cleaned\n"
    "  3  usage error, a file or directory could not be read, another run holds\n"
    "     a tree, or the run was interrupted (SIGINT, SIGTERM); 3 outranks 2\n"
    "With --dry-run, 1 and 2 say what a real run would give.\n"
    "With --restore: 0 every file asked for was restored, 2 some were refused or\n"
    "could not be restored, 3 usage error, the folder is missing or no quarantine\n"
    "of fixquorvin, or the restore was interrupted. With --list: 0, or 3.\n"
    "\n"
    "A quarantine folder holds fixquorvin-quarantine.txt, which describes it; no\n"
    "run scans or changes a folder that holds that file. An existing folder is\n"
    "used only when it is empty or such a quarantine. Each entry is a pair:\n"
    "NNNNNNNN.info (the original path, what was done, mode, owner, size, times)\n"
    "and NNNNNNNN.data (the bytes, every byte other than 00 and A5 XORed with A5,\n"
    "so that nothing takes a copy for a program).\n"
    "\n"
    "A restore puts each original back through a copy beside the file and one\n"
    "rename, with its mode, owner and times; of several entries for one path, the\n"
    "newest. A deleted file is made again. A file that changed since the run\n"
    "(its SHA-256 is no longer that of the file the run left), or one made where a\n"
    "deleted file was, is left as it is unless --force is given; a path that is\n"
    "now a directory or a link is never replaced, nor is anything from a copy that\n"
    "is truncated or does not match its recorded SHA-256. One line per file, then\n"
    "a summary.\n";

namespace {

enum LongOnly { kExclude = 256, kLog, kQuarantine, kWindowsRoot, kJobs, kCrossFilesystems, kVersion, kRestore, kList, kForce };

const struct option kOptions[] = {
    {"dry-run", no_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"cross-filesystems", no_argument, nullptr, kCrossFilesystems},
    {"exclude", required_argument, nullptr, kExclude},
    {"log", required_argument, nullptr, kLog},
    {"quarantine", required_argument, nullptr, kQuarantine},
    {"windows-root", required_argument, nullptr, kWindowsRoot},
    {"jobs", required_argument, nullptr, kJobs},
    {"restore", required_argument, nullptr, kRestore},
    {"list", required_argument, nullptr, kList},
    {"force", no_argument, nullptr, kForce},
    {nullptr, 0, nullptr, 0},
};

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

// A path the run depends on that is not there is a usage error: the run
// would otherwise scan what it was told to leave, or look for no volume.
bool Exists(const std::string& option, const std::string& path, std::string& error) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) return true;
    error = "option '--" + option + "': cannot find " + path + ": " + std::strerror(errno);
    return false;
}

std::string OptionName(int code) {
    for (const struct option* o = kOptions; o->name; ++o)
        if (o->val == code) return o->name;
    return {};
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, unsigned processors) {
    CommandLine cl;
    cl.settings.jobs = processors ? processors : 1;
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.push_back("fixquorvin");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    // getopt_long keeps its state in globals: start afresh, report nothing itself.
    optind = 0;
    opterr = 0;
    const int argc = static_cast<int>(storage.size());
    for (int c; (c = ::getopt_long(argc, argv.data(), ":nh", kOptions, nullptr)) != -1;) {
        const std::string value = optarg ? optarg : "";
        switch (c) {
        case 'h': cl.help = true; break;
        case 'n': cl.settings.dryRun = true; break;
        case kVersion: cl.version = true; break;
        case kCrossFilesystems: cl.settings.crossFilesystems = true; break;
        case kForce: cl.force = true; break;
        case kJobs: {
            char* end = nullptr;
            long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || n < 1 || n > 256) {
                cl.error = "invalid --jobs value: " + value;
                return cl;
            }
            cl.settings.jobs = static_cast<unsigned>(n);
            break;
        }
        case ':': {
            std::string name = optopt ? OptionName(optopt) : std::string();
            if (name.empty()) name = argv[optind - 1] + 2;
            cl.error = "option '--" + name + "' needs a value";
            return cl;
        }
        case '?': {
            const std::string arg = argv[optind - 1];
            const std::string name = optopt ? OptionName(optopt) : std::string();
            if (!name.empty() && arg.compare(0, name.size() + 3, "--" + name + "=") == 0)
                cl.error = "option '--" + name + "' takes no value";
            else if (optopt > 0 && optopt < 256)
                cl.error = std::string("unknown option: -") + static_cast<char>(optopt);
            else
                cl.error = "unknown option: " + arg;
            return cl;
        }
        default:
            if (value.empty()) {
                cl.error = "option '--" + OptionName(c) + "' needs a value";
                return cl;
            }
            if (c == kLog) {
                cl.logPath = value;
            } else if (c == kQuarantine) {
                cl.settings.quarantineDir = Absolute(value);
            } else if (c == kRestore) {
                cl.restoreDir = Absolute(value);
            } else if (c == kList) {
                cl.listDir = Absolute(value);
            } else if (!Exists(OptionName(c), value, cl.error)) {
                return cl;
            } else if (c == kExclude) {
                cl.settings.excludes.push_back(Absolute(value));
            } else {
                cl.windowsRoot = Absolute(value);
            }
        }
    }
    for (int i = optind; i < argc; ++i) cl.paths.push_back(argv[i]);
    const bool restoring = !cl.restoreDir.empty() || !cl.listDir.empty();
    if (!cl.restoreDir.empty() && !cl.listDir.empty()) cl.error = "--restore and --list cannot be given together";
    else if (restoring && (!cl.settings.quarantineDir.empty() || !cl.windowsRoot.empty() || !cl.settings.excludes.empty()))
        cl.error = "--restore and --list take no --quarantine, --exclude or --windows-root";
    else if (!cl.listDir.empty() && !cl.paths.empty()) cl.error = "--list takes no PATH";
    else if (cl.force && cl.restoreDir.empty()) cl.error = "--force needs --restore";
    if (!cl.error.empty()) return cl;
    // The paths a restore is limited to need not exist (a deleted file).
    // A link at the end is not followed: its own path is what an entry names.
    if (restoring)
        for (std::string& path : cl.paths) {
            while (path.size() > 1 && path.back() == '/') path.pop_back();
            const size_t slash = path.rfind('/');
            const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
            if (base.empty() || base == "." || base == "..") path = Absolute(path);
            else path = Absolute(slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash)) + "/" + base;
            if (path.starts_with("//")) path.erase(0, 1);
        }
    if (!cl.help && !cl.version && !restoring && cl.paths.empty() && cl.windowsRoot.empty()) cl.error = "no PATH given";
    if (cl.settings.quarantineDir == "/") cl.error = "the quarantine folder cannot be /";
    return cl;
}

}  // namespace native
