#include "linux/native_report.h"

#include <unistd.h>

#include <string>

#include "run/dry_run_core.h"
#include "run/report_core.h"

namespace native {

namespace {

void WriteAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

// The lines that say what could not be examined or written.
void NotDoneLines(const RunResult& r, RunLog& log) {
    if (r.hivesNotOpened) log.ReportFormat("The number of registry hives that could not be opened: %u", r.hivesNotOpened);
    if (r.hivesNotWritten) log.ReportFormat("The number of registry hives that could not be written: %u", r.hivesNotWritten);
}

}  // namespace

void LineSink::Write(const char* bytes, size_t length) {
    // The log composes one line per write, ending in CR LF; a message may
    // end in a line feed of its own (the repair's attempt line).
    size_t n = length;
    while (n && (bytes[n - 1] == '\n' || bytes[n - 1] == '\r')) --n;
    std::string file, console;
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] == '\r') continue;
        if (bytes[i] == '\n') file += '\r';
        file += bytes[i];
        console += bytes[i];
    }
    file += "\r\n";
    console += '\n';
    if (m_fd >= 0) WriteAll(m_fd, file);
    if (m_before) m_before();
    if (m_console) {
        std::fwrite(console.data(), 1, console.size(), m_console);
        std::fflush(m_console);
    }
}

void LineSink::Flush() {
    if (m_fd >= 0) ::fsync(m_fd);
}

void ComposeRunReport(const RunResult& r, RunLog& log) {
    const RemovalStats& s = *r.stats;
    // Anything that could not be examined: no "not found", no success.
    const bool incomplete = r.hivesNotOpened != 0 || r.directoriesNotScanned != 0 || r.interrupted;
    if (r.dryRun) {
        DryRunReportInputs in;
        in.stats = &s;
        in.threatName = r.threatName;
        in.notCleaned = r.notCleaned;
        in.incomplete = incomplete;
        ComposeDryRunReport(in, log);
        if (r.directoriesNotScanned)
            log.ReportFormat("The number of directories not scanned: %u", r.directoriesNotScanned);
        NotDoneLines(r, log);
        log.Empty();
        log.Line(kDryRunClosingText);
        return;
    }
    // A folder not scanned or an interrupted run has its own headline below.
    if (!ReportFindsSomething(s) && r.hivesNotOpened && !r.directoriesNotScanned && !r.interrupted) {
        // Not "not found": part of what was asked for was never looked at.
        log.ReportFormat("The %s scan was incomplete: not everything could be examined.", r.threatName);
        log.ReportFormat("The %s removal was unsuccessful: not everything could be examined.", r.threatName);
        log.Report("");
        log.ReportFormat("Here is the report:");
        log.Report("");
        log.ReportFormat("The total number of the scanned files: %u", s.filesScanned);
        NotDoneLines(r, log);
        return;
    }
    ReportInputs in;
    in.stats = &s;
    in.threatName = r.threatName;
    in.hasServices = r.hasServices;
    in.notCleaned = r.notCleaned + r.hivesNotOpened;
    in.filesLeftUnchanged = r.filesLeftUnchanged;
    in.directoriesNotScanned = r.directoriesNotScanned;
    in.interrupted = r.interrupted;
    ComposeReport(in, log);
    NotDoneLines(r, log);
}

}  // namespace native
