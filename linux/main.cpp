// fixquorvin: the native scanner for Linux file servers, backups and the
// disks of Windows machines mounted on a rescue system.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/report_core.h"
#include "app/threat_definition.h"
#include "linux/scan_options.h"
#include "linux/tree_scan.h"
#include "linux/unique_fd.h"
#include "linux/windows_volume.h"

namespace {

const char kDryRunClosing[] = "\r\nDry run: nothing was changed.";

// Every log line goes to the log file as the Windows tool writes it (CR LF)
// and to standard output as a Linux line.
class ConsoleAndFileSink : public LogSink {
public:
    ConsoleAndFileSink(int fd, const std::function<void()>& beforeConsole) : m_fd(fd), m_before(beforeConsole) {}
    void Write(const char* bytes, size_t length) override {
        if (m_fd >= 0) {
            for (size_t done = 0; done < length;) {
                ssize_t n = ::write(m_fd, bytes + done, length - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
        }
        m_before();
        for (size_t i = 0; i < length; ++i)
            if (bytes[i] != '\r') std::fputc(bytes[i], stdout);
        std::fflush(stdout);
    }
    void Flush() override {
        if (m_fd >= 0) ::fsync(m_fd);
    }

private:
    int m_fd;
    std::function<void()> m_before;
};

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

}  // namespace

// SIGINT or SIGTERM: the scanner stops at the next file or piece of a copy;
// a second one ends the program at once.
static volatile std::sig_atomic_t g_stopSignal = 0;

static void OnStopSignal(int signal) {
    g_stopSignal = signal;
    std::signal(signal, SIG_DFL);
}

int main(int argc, char** argv) {
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

    posix::UniqueFd logFile;
    if (!cl.logPath.empty()) {
        logFile.reset(::open(cl.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!logFile) {
            std::fprintf(stderr, "fixquorvin: cannot create the log file %s: %s\n", cl.logPath.c_str(),
                         std::strerror(errno));
            return static_cast<int>(native::ExitStatus::Error);
        }
    }
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    TerminalProgress progress;
    ConsoleAndFileSink sink(logFile.get(), [&] { progress.Clear(); });
    RunLog log;
    log.SetSink(&sink);
    log.Line(QUORVIN_PRODUCT_TITLE);

    const ThreatDefinition& def = BuiltInDefinition();
    native::TreeScanner scanner(def, cl.settings, log, terminal ? &progress : nullptr);
    if (!scanner.QuarantineProblem().empty()) {
        std::fprintf(stderr, "fixquorvin: %s\n", scanner.QuarantineProblem().c_str());
        return static_cast<int>(native::ExitStatus::Error);
    }
    if (!cl.logPath.empty()) scanner.SkipPath(cl.logPath);
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
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
    for (const std::string& volume : volumes) native::CleanWindowsVolume(volume, def, scanner, log);

    log.Empty();
    ReportInputs report;
    report.stats = &scanner.stats;
    report.threatName = def.threatName;
    report.hasServices = def.hasServices;
    report.notCleaned = scanner.notCleaned + (scanner.interrupted ? 1 : 0);
    report.filesLeftUnchanged = scanner.leftUnchanged;
    report.directoriesNotScanned = scanner.directoriesNotScanned;
    report.interrupted = scanner.interrupted;
    ComposeReport(report, log);
    if (cl.settings.dryRun) log.Line(kDryRunClosing);
    log.Flush();
    log.SetSink(nullptr);
    if (!logFile.reset()) return static_cast<int>(native::ExitStatus::Error);
    return static_cast<int>(native::StatusOf(scanner.stats, scanner.notCleaned, scanner.ioErrors));
}
