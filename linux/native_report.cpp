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

// The headline of a real run. The Windows report's advice (a boot mode, the
// maker's knowledge base) cannot be followed where this program runs: the
// unsuccessful headline keeps only what holds here.
void Headline(const RunResult& r, RunLog& log) {
    const RemovalStats& s = *r.stats;
    const char* name = r.threatName;
    const bool found = ReportFindsSomething(s);
    if (!found && r.hivesNotOpened && !r.directoriesNotScanned && !r.interrupted) {
        // Not "not found": part of what was asked for was never looked at.
        log.ReportFormat("The %s scan was incomplete: not everything could be examined.", name);
        log.ReportFormat("The %s removal was unsuccessful: not everything could be examined.", name);
        return;
    }
    const uint32_t notCleaned = r.notCleaned + r.hivesNotOpened;
    if (!found && !notCleaned && !r.directoriesNotScanned && !r.interrupted && !r.filesUnreadable) {
        log.ReportFormat("%s has not been found on your computer.", name);
        return;
    }
    // A find left in place, a listed entry left unfixed or a run stopped
    // before its end (counted in notCleaned): no success headline over any.
    if (s.deleteFailed || s.repairsFailed || s.registryEntriesNotFixed || notCleaned) {
        log.ReportFormat("The %s removal was unsuccessful.", name);
        if (s.deleteFailed == 1)
            log.ReportFormat("The tool could not delete one %s file from your PC.", name);
        else if (s.deleteFailed > 1)
            log.ReportFormat("The tool could not delete %u %s files from your PC.", s.deleteFailed, name);
        log.ReportFormat("Files that could not be repaired or deleted by this tool must be removed");
        log.ReportFormat("manually. Check the log file for a list of files that could not be deleted.");
    } else if (r.directoriesNotScanned) {
        log.ReportFormat("The %s scan was incomplete: %u director%s could not be scanned.", name,
                         r.directoriesNotScanned, r.directoriesNotScanned == 1 ? "y" : "ies");
        log.ReportFormat("The threat may still be present there. Check the log file for the list.");
    } else if (r.filesUnreadable) {
        // A file that could not be read may hold the threat: neither clean nor cleaned.
        log.ReportFormat("The %s scan was incomplete: not everything could be examined.", name);
    } else {
        log.ReportFormat("%s has been successfully removed from your computer!", name);
    }
}

// What a real run left for a person to do, before the numbers.
void Notes(const RunResult& r, RunLog& log) {
    const RemovalStats& s = *r.stats;
    if (s.repairsFailed) {
        log.ReportFormat("%u file(s) could not be repaired due to corruption during infection.", s.repairsFailed);
        log.ReportFormat("PLEASE RESTORE THESE FILES FROM A CLEAN BACKUP OR DELETE THEM.");
        log.Report("");
    }
    if (r.interrupted) {
        log.ReportFormat("The run was interrupted before it finished.");
        log.Report("");
    }
    if (r.filesLeftUnchanged) {
        log.ReportFormat("%u file(s) were found and left unchanged.", r.filesLeftUnchanged);
        log.ReportFormat("The log file says why for each of them.");
        log.Report("");
    }
}

// The summary every report has; a dry run's counts what a real run would do.
void Summary(const RunResult& r, RunLog& log) {
    const RemovalStats& s = *r.stats;
    const bool dry = r.dryRun;
    log.ReportFormat("The total number of the scanned files: %u", s.filesScanned);
    log.ReportFormat("The number of bytes read: %llu", static_cast<unsigned long long>(r.bytesRead));
    log.ReportFormat("The time taken in seconds: %.2f", r.seconds);
    log.ReportFormat("The number of infections: %u", s.infections);
    log.ReportFormat(dry ? "(would be) repaired: %u" : "The number of repairs: %u", s.repairs);
    log.ReportFormat(dry ? "(would be) not repaired, the file is corrupted: %u" : "The number of failed repairs: %u",
                     s.repairsFailed);
    log.ReportFormat(dry ? "(would be) deleted threat files: %u" : "The number of deleted threat files: %u",
                     s.filesDeleted);
    log.ReportFormat("The number of files left unreadable: %u", r.filesUnreadable);
    if (r.directoriesNotScanned) log.ReportFormat("The number of directories not scanned: %u", r.directoriesNotScanned);
    if (s.directoriesDeleted && !dry) log.ReportFormat("The number of directories deleted: %u", s.directoriesDeleted);
    if (r.windowsVolume)
        log.ReportFormat(dry ? "(would be) fixed registry entries: %u" : "The number of registry entries fixed: %u",
                         s.registryEntriesFixed);
    NotDoneLines(r, log);
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
    const bool incomplete = r.hivesNotOpened != 0 || r.directoriesNotScanned != 0 || r.interrupted ||
                            r.filesUnreadable != 0;
    if (r.dryRun) {
        DryRunReportInputs in;
        in.stats = &s;
        in.threatName = r.threatName;
        in.notCleaned = r.notCleaned;
        in.incomplete = incomplete;
        ComposeDryRunHeadline(in, log);
    } else {
        Headline(r, log);
    }
    log.Report("");
    log.ReportFormat("Here is the report:");
    log.Report("");
    if (!r.dryRun) Notes(r, log);
    Summary(r, log);
    if (r.dryRun) {
        log.Empty();
        log.Line(kDryRunClosingText);
    }
}

}  // namespace native
