#include "run/dry_run_core.h"

#include <cstring>

#include "run/report_core.h"

const char kWouldRepairText[] = "(dry run) would be repaired";
const char kWouldDeleteText[] = "(dry run) would be deleted";
const char kWouldFailText[] = "(dry run) repair would fail, the file is corrupted";
const char kDryRunClosingText[] = "Dry run: nothing was changed.";

namespace {

const char kNotWrittenReason[] = ", the hive could not be written)";

struct Outcome {
    const char* done;        // the end of the line once the change is made
    const char* dryRun;      // its replacement in a dry run
    const char* notWritten;  // and when the hive could not be written (up to the reason)
};

// Endings that are the whole outcome.
const Outcome kEndings[] = {
    {" (key deleted)", " (dry run) would be deleted", " (WARNING: not deleted"},
    {" (value deleted)", " (dry run) would be deleted", " (WARNING: not deleted"},
    {": (Default value deleted)", ": (Default) (dry run) would be deleted", ": (Default) (WARNING: not deleted"},
    {": (Default value was cleared)", ": (Default) (dry run) would be cleared", ": (Default) (WARNING: not cleared"},
    {" (restored)", " (dry run) would be restored", " (WARNING: not restored"},
};
// "... (value set to X)": the new value stays in the line.
const char kSetHead[] = " (value set to ";

bool EndsWith(const std::string& s, const char* tail) {
    size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string Files(uint32_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string UnmadeRegistryLine(const std::string& line, UnmadeChange why) {
    const bool dry = why == UnmadeChange::DryRun;
    for (const Outcome& o : kEndings) {
        if (!EndsWith(line, o.done)) continue;
        std::string head = line.substr(0, line.size() - std::strlen(o.done));
        return dry ? head + o.dryRun : head + o.notWritten + kNotWrittenReason;
    }
    // The set form: the first " (value set to " follows the key and value
    // name, which come from the definition; the new value may hold anything.
    size_t at = line.find(kSetHead);
    if (at != std::string::npos && EndsWith(line, ")")) {
        std::string value = line.substr(at + std::strlen(kSetHead));
        value.pop_back();
        std::string head = line.substr(0, at);
        return dry ? head + " (dry run) would be set to " + value
                   : head + " (WARNING: not set to " + value + kNotWrittenReason;
    }
    return line;
}

bool ComposeDryRunHeadline(const DryRunReportInputs& in, RunLog& log) {
    const RemovalStats& s = *in.stats;
    const char* name = in.threatName ? in.threatName : "";
    const bool found = ReportFindsSomething(s) || s.registryEntriesFixed != 0;
    if (!found && !in.incomplete) {
        log.ReportFormat("%s has not been found on your computer.", name);
        return false;
    }
    if (found) {
        log.ReportFormat("%s was found: a real run would make %s and delete %s.", name,
                         Files(s.repairs, "repair", "repairs").c_str(),
                         Files(s.filesDeleted, "file", "files").c_str());
    } else {
        log.ReportFormat("The %s scan was incomplete: not everything could be examined.", name);
    }
    if (in.notCleaned)
        log.ReportFormat("A real run would be unsuccessful: %s would be left as found.",
                         Files(in.notCleaned, "find", "finds").c_str());
    else if (in.incomplete)
        log.ReportFormat("A real run would be unsuccessful: not everything could be examined.");
    return true;
}

void ComposeDryRunReport(const DryRunReportInputs& in, RunLog& log) {
    if (!ComposeDryRunHeadline(in, log)) return;
    const RemovalStats& s = *in.stats;
    log.Report("");
    log.ReportFormat("Here is the report:");
    log.Report("");
    log.ReportFormat("The total number of the scanned files: %u", s.filesScanned);
    if (s.infections) log.ReportFormat("The number of infections: %u", s.infections);
    log.ReportFormat("(would be) repaired: %u", s.repairs);
    if (s.repairsFailed) log.ReportFormat("(would be) not repaired, the file is corrupted: %u", s.repairsFailed);
    log.ReportFormat("(would be) deleted threat files: %u", s.filesDeleted);
    log.ReportFormat("(would be) fixed registry entries: %u", s.registryEntriesFixed);
}
