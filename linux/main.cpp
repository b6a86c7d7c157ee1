// fixquorvin: the native scanner for Linux file servers, backups and the
// disks of Windows machines mounted on a rescue system.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "run/threat_definition.h"
#include "linux/native_report.h"
#include "linux/restore.h"
#include "linux/scan_options.h"
#include "linux/tree_scan.h"
#include "linux/unique_fd.h"
#include "linux/windows_volume.h"

namespace {

// One line on the terminal, rewritten at most five times a second.
class TerminalProgress : public native::ScanProgress {
public:
    void Update(uint64_t files, uint64_t bytes, uint32_t infections) override {
        auto now = std::chrono::steady_clock::now();
        if (m_shown && now - m_last < std::chrono::milliseconds(200)) return;
        m_last = now;
        double seconds = std::chrono::duration<double>(now - m_start).count();
        std::fprintf(stderr, "\r\033[K%llu files, %.1f MB, %u infections, %.0f files/s",
                     static_cast<unsigned long long>(files), bytes / 1048576.0, infections,
                     seconds > 0 ? files / seconds : 0.0);
        m_shown = true;
    }
    void Clear() {
        if (m_shown) std::fputs("\r\033[K", stderr);
        m_shown = false;
    }

private:
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now(), m_last;
    bool m_shown = false;
};

// The log file, created or emptied: only a regular file, so that a pipe, a
// device or a socket named as the log neither blocks the run nor receives it.
posix::UniqueFd OpenLog(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "fixquorvin: cannot use %s as the log file: it is not a regular file\n", path.c_str());
        return {};
    }
    posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
    if (!fd) {
        std::fprintf(stderr, "fixquorvin: cannot create the log file %s: %s\n", path.c_str(), std::strerror(errno));
        return {};
    }
    // (what the name leads to may have changed since it was looked at)
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd.get(), 0) != 0) {
        std::fprintf(stderr, "fixquorvin: cannot use %s as the log file: it is not a regular file\n", path.c_str());
        return {};
    }
    return fd;
}

}  // namespace

// SIGINT or SIGTERM: the scanner stops at the next file or piece of a copy;
// a second one ends the program at once.
static volatile std::sig_atomic_t g_stopSignal = 0;

static void OnStopSignal(int signal) {
    g_stopSignal = signal;
    std::signal(signal, SIG_DFL);
}

static void CatchStopSignals() {
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
}

// --restore: the log holds one line per file and the summary; a folder that
// cannot be used is said on standard error and in the log.
static int Restore(const native::CommandLine& cl, RunLog& log) {
    native::Restorer restorer({.quarantineDir = cl.restoreDir, .paths = cl.paths, .dryRun = cl.settings.dryRun,
                               .force = cl.force},
                              log);
    std::string problem;
    const bool ran = restorer.Open(problem);
    if (!ran) {
        std::fprintf(stderr, "fixquorvin: %s\n", problem.c_str());
        log.Format("WARNING: nothing was restored: %s.", problem.c_str());
    } else {
        CatchStopSignals();
        restorer.stopFlag = &g_stopSignal;
        restorer.Run();
    }
    log.Flush();
    log.SetSink(nullptr);
    return native::RestoreStatus(restorer, ran);
}

int main(int argc, char** argv) {
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> args(argv + 1, argv + argc);
    long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    native::CommandLine cl = native::ParseCommandLine(args, processors > 0 ? static_cast<unsigned>(processors) : 1);
    if (cl.help) {
        std::fputs(native::kUsageText, stdout);
        return 0;
    }
    if (!cl.error.empty()) {
        std::fprintf(stderr, "fixquorvin: %s\nTry 'fixquorvin --help' for more information.\n", cl.error.c_str());
        return static_cast<int>(native::ExitStatus::Error);
    }
    if (cl.version) {
        std::fputs("fixquorvin " QUORVIN_PRODUCT_TITLE "\n", stdout);
        return 0;
    }

    if (!cl.listDir.empty()) {
        RunLog quiet;
        native::Restorer lister({.quarantineDir = cl.listDir}, quiet);
        std::string problem;
        if (!lister.Open(problem)) {
            std::fprintf(stderr, "fixquorvin: %s\n", problem.c_str());
            return 3;
        }
        lister.List(stdout);
        return 0;
    }

    posix::UniqueFd logFile;
    if (!cl.logPath.empty()) {
        logFile = OpenLog(cl.logPath);
        if (!logFile) return static_cast<int>(native::ExitStatus::Error);
    }
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    TerminalProgress progress;
    native::LineSink sink(logFile.get(), stdout, [&] { progress.Clear(); });
    RunLog log;
    log.SetSink(&sink);
    log.Line(QUORVIN_PRODUCT_TITLE);

    if (!cl.restoreDir.empty()) {
        const int status = Restore(cl, log);
        return logFile.reset() ? status : 3;
    }

    const ThreatDefinition& def = BuiltInDefinition();
    native::TreeScanner scanner(def, cl.settings, log, terminal ? &progress : nullptr);
    if (!scanner.QuarantineProblem().empty()) {
        std::fprintf(stderr, "fixquorvin: %s\n", scanner.QuarantineProblem().c_str());
        return static_cast<int>(native::ExitStatus::Error);
    }
    if (!cl.logPath.empty()) scanner.SkipPath(cl.logPath);
    CatchStopSignals();
    scanner.stopFlag = &g_stopSignal;

    std::vector<std::string> volumes;
    if (!cl.windowsRoot.empty()) volumes.push_back(cl.windowsRoot);
    for (const std::string& path : cl.paths) {
        native::TreeOutcome outcome = scanner.Scan(path);
        if (outcome == native::TreeOutcome::Interrupted) break;
        if (outcome == native::TreeOutcome::NotOpened) {
            progress.Clear();
            std::fprintf(stderr, "fixquorvin: cannot open %s: %s\n", path.c_str(), std::strerror(scanner.rootError));
        } else if (outcome == native::TreeOutcome::HeldByAnotherRun) {
            progress.Clear();
            std::fprintf(stderr, "fixquorvin: %s: another run of fixquorvin is working on this tree; not scanned\n",
                         path.c_str());
        }
        if (!cl.windowsRoot.empty() || !native::IsWindowsVolume(path)) continue;
        // Its paths are opened without following a link at their end.
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            volumes.push_back(resolved);
            std::free(resolved);
        }
    }
    if (scanner.interrupted) {
        volumes.clear();
        log.Format("WARNING: the run was interrupted (%s): it stopped before it finished.",
                   g_stopSignal == SIGINT ? "SIGINT" : "SIGTERM");
    }
    progress.Clear();
    native::RunResult result;
    for (const std::string& volume : volumes) {
        native::VolumeOutcome outcome = native::CleanWindowsVolume(volume, def, scanner, log);
        result.hivesNotOpened += outcome.hivesNotOpened;
        result.hivesNotWritten += outcome.hivesNotWritten;
    }

    log.Empty();
    result.stats = &scanner.stats;
    result.threatName = def.threatName;
    result.dryRun = cl.settings.dryRun;
    result.hasServices = def.hasServices;
    result.notCleaned = scanner.notCleaned + (scanner.interrupted ? 1 : 0);
    result.filesLeftUnchanged = scanner.leftUnchanged;
    result.directoriesNotScanned = scanner.directoriesNotScanned;
    result.interrupted = scanner.interrupted;
    result.bytesRead = scanner.bytesScanned;
    result.filesUnreadable = scanner.filesUnreadable;
    result.windowsVolume = !volumes.empty();
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    native::ComposeRunReport(result, log);
    log.Flush();
    log.SetSink(nullptr);
    if (!logFile.reset()) return static_cast<int>(native::ExitStatus::Error);
    return static_cast<int>(native::StatusOf(scanner.stats, scanner.notCleaned, scanner.ioErrors));
}
