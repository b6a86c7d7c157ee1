// The native scanner's output: log lines to the log file (CR LF, as the
// Windows tool writes them) and to standard output (LF), and the report
// composed from what the run did.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>

#include "run/log_core.h"
#include "run/run_state.h"

namespace native {

// Every line goes to the log file (fd, or none when -1) and to `console`;
// each ends once there, whatever line feed its message held at its end.
class LineSink : public LogSink {
public:
    LineSink(int fd, std::FILE* console, std::function<void()> beforeConsole = {})
        : m_fd(fd), m_console(console), m_before(std::move(beforeConsole)) {}
    void Write(const char* bytes, size_t length) override;
    void Flush() override;

private:
    int m_fd;
    std::FILE* m_console;
    std::function<void()> m_before;
};

// What a run did, for its report.
struct RunResult {
    const RemovalStats* stats = nullptr;
    const char* threatName = "";
    bool dryRun = false;
    bool hasServices = false;
    uint32_t notCleaned = 0;        // finds left in place (failed repair, delete, quarantine copy, hive write)
    uint32_t hivesNotOpened = 0;    // registry hives that could not be examined
    uint32_t hivesNotWritten = 0;   // registry hives whose fixes did not reach the disk
    uint32_t filesLeftUnchanged = 0;     // of notCleaned: left for a reason other than corruption
    uint32_t directoriesNotScanned = 0;
    bool interrupted = false;            // stopped by a signal
    uint64_t bytesRead = 0;
    double seconds = 0;                  // from the start of the run to its report
    uint32_t filesUnreadable = 0;        // files that could not be opened or read for scanning
    bool windowsVolume = false;          // a Windows volume's hives were part of the run
};

// The report lines, after the empty line that ends the run's lines: a
// headline, then always the summary of what was scanned and done, also over a
// clean tree. Nothing in it is advice only a Windows machine can follow, and
// no line counts what a Linux run cannot do (processes, services); the
// registry line only when a Windows volume was part of the run. A dry run's
// report ends with "Dry run: nothing was changed.".
void ComposeRunReport(const RunResult& result, RunLog& log);

}  // namespace native
