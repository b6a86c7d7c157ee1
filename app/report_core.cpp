#include "app/report_core.h"

#include <cstdio>

#include "app/log_core.h"

const char kKnowledgeBaseAddress[] = "http://www.ostrovel.com/support/kb/search.html";

namespace {

void Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(messageBuffer, kMaxLineChars + 1, format, args);
    va_end(args);
    if (n < 0) messageBuffer[0] = '\0';
    ReportLine();
}

void Empty() { ReportText(""); }

}  // namespace

// A repaired copy waiting for the restart is a found infection just as a
// repair done at once is, so both sums count repairsPendingReboot: without it
// a run whose only find is a host held open would report the threat as not
// found and drop the lines about the pending replacement.
bool ReportFindsSomething(const RemovalStats& s) {
    uint32_t sum = s.deleteFailed + s.repairsFailed + s.deletesPendingReboot + s.filesDeleted +
                   s.repairs + s.repairsPendingReboot + s.processesTerminated + s.threadsTerminated;
    return sum != 0;
}

bool ThreatCountsAsFound(const RemovalStats& s, uint32_t failedDeleteEntries) {
    uint32_t sum = s.deleteFailed + s.deletesPendingReboot + s.filesDeleted + s.repairs +
                   s.repairsPendingReboot + s.processesTerminated + failedDeleteEntries;
    return sum != 0;
}

ReportIcon ComposeReport(const ReportInputs& in) {
    const RemovalStats& s = *in.stats;
    const char* name = in.threatName ? in.threatName : "";
    ReportIcon icon = ReportIcon::Information;

    if (!ReportFindsSomething(s)) {
        if (in.cancelRequested) {
            Line("%s has not been found on your computer, but the scan", name);
            Line("was cancelled before it finished. The threat may still be present on the machine.");
        } else {
            Line("%s has not been found on your computer.", name);
        }
        return icon;
    }

    if (s.deleteFailed != 0) {
        Line("The %s removal was unsuccessful.", name);
        if (s.deleteFailed == 1)
            Line("The tool could not delete one %s file from your PC.", name);
        else
            Line("The tool could not delete %d %s files from your PC.", static_cast<int>(s.deleteFailed), name);
        if (in.systemRestoreWasEnabled) {
            Line("In order to be able to delete all the infected files, you");
            Line("are strongly advised to disable the System Restore option.");
            Line("You can rerun the removal tool to see the instructions on how to do it.");
            Line("If the problem persists, please contact Technical Support.");
        } else if (in.isNt4) {
            Line("Please boot into VGA mode and run this tool again.");
        } else {
            Line("Please boot into Safe mode and run this tool again.");
        }
        Line("Files that could not be repaired or deleted by this tool must be removed");
        Line("manually. Check the log file for a list of files that could not be deleted.");
        Line("If you need more information to assist you in performing any of the above tasks,");
        Line("you may search our Knowledge Base at");
        Line("%s", kKnowledgeBaseAddress);
        icon = ReportIcon::Stop;
    } else if (s.deletesPendingReboot != 0) {
        Line("The %s removal was successful.", name);
        Line("The system will delete %d %s files from your PC on next reboot.",
             static_cast<int>(s.deletesPendingReboot), name);
        icon = ReportIcon::Exclamation;
    } else {
        Line("%s has been successfully removed from your computer!", name);
    }

    Empty();
    Line("Here is the report:");
    Empty();
    if (s.deletesPendingReboot) {
        Line("%d file(s) could not be deleted.", static_cast<int>(s.deletesPendingReboot));
        Line("They will be deleted on next reboot.");
        Empty();
    }
    if (s.repairsPendingReboot) {
        Line("%d file(s) could not be replaced after repair.", static_cast<int>(s.repairsPendingReboot));
        Line("They will be replaced on next reboot.");
        Empty();
    }
    if (s.repairsFailed) {
        Line("%d file(s) could not be repaired due to corruption during infection.",
             static_cast<int>(s.repairsFailed));
        Line("PLEASE RESTORE THESE FILES FROM A CLEAN BACKUP OR DELETE THEM.");
        Empty();
    }
    Line("The total number of the scanned files: %d", static_cast<int>(s.filesScanned));
    Line("The number of deleted threat files: %d", static_cast<int>(s.filesDeleted));
    if (s.infections) Line("The number of infections: %d", static_cast<int>(s.infections));
    if (s.repairs) Line("The number of repairs: %d", static_cast<int>(s.repairs));
    if (s.directoriesDeleted) Line("The number of directories deleted: %d", static_cast<int>(s.directoriesDeleted));
    Line("The number of threat processes terminated: %d", static_cast<int>(s.processesTerminated));
    if (in.scanThreadStarts)
        Line("The number of threat threads terminated: %d", static_cast<int>(s.threadsTerminated));
    Line("The number of registry entries fixed: %d", static_cast<int>(s.registryEntriesFixed));
    if (in.hasServices && s.servicesStopped)
        Line("The number of threat services terminated: %d", static_cast<int>(s.servicesStopped));
    if (in.hasServices && s.servicesRemoved)
        Line("The number of threat services removed: %d", static_cast<int>(s.servicesRemoved));
    if (in.sharesReported) {
        Line("The number of shares found: %d", static_cast<int>(in.sharesFound));
        Line("The number of shares secured for administrator use only: %d", static_cast<int>(in.sharesSecured));
    }
    if (s.groupMembersRemoved) Line("The number of group members removed: %d", static_cast<int>(s.groupMembersRemoved));
    if (s.accountsDisabled) Line("The number of accounts disabled: %d", static_cast<int>(s.accountsDisabled));
    return icon;
}
