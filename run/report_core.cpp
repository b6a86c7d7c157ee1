#include "run/report_core.h"

#include <cstdio>

#include "run/log_core.h"

const char kKnowledgeBaseAddress[] = "http://www.ostrovel.com/support/kb/search.html";
const char kOnlyDirMissingText[] = "No file was scanned: the folder given with /ONLYDIR= does not exist.";
const char kOnlyDirIsFileText[] = "No file was scanned: the path given with /ONLYDIR= names a file, not a folder.";


namespace {

// The threat's services, its registry entries and its running code are the
// threat found as much as its files are: a run whose only find was one of
// them must neither skip the passes that follow a detection nor report the
// threat as not found. Each counter is tested on its own, so no sum can wrap.
bool FoundBeyondFiles(const RemovalStats& s) {
    return s.servicesStopped || s.servicesRemoved || s.registryEntriesFixed || s.registryEntriesNotFixed ||
           s.processesTerminated || s.threadsTerminated || s.processesNotTerminated || s.threadsNotTerminated;
}

// Something found and left in place: no success headline over it.
bool LeftInPlace(const RemovalStats& s) {
    return s.deleteFailed || s.repairsFailed || s.processesNotTerminated || s.threadsNotTerminated ||
           s.registryEntriesNotFixed;
}

}  // namespace

// A repaired copy waiting for the restart is a found infection just as a
// repair done at once is, so both sums count repairsPendingReboot: without it
// a run whose only find is a host held open would report the threat as not
// found and drop the lines about the pending replacement.
bool ReportFindsSomething(const RemovalStats& s) {
    uint32_t sum = s.deleteFailed + s.repairsFailed + s.deletesPendingReboot + s.filesDeleted +
                   s.repairs + s.repairsPendingReboot + s.processesTerminated + s.threadsTerminated;
    return sum != 0 || FoundBeyondFiles(s);
}

bool ThreatCountsAsFound(const RemovalStats& s, uint32_t failedDeleteEntries) {
    uint32_t sum = s.deleteFailed + s.deletesPendingReboot + s.filesDeleted + s.repairs +
                   s.repairsPendingReboot + s.processesTerminated + failedDeleteEntries;
    return sum != 0 || FoundBeyondFiles(s);
}

ReportIcon ComposeReport(const ReportInputs& in, RunLog& log) {
    const RemovalStats& s = *in.stats;
    const char* name = in.threatName ? in.threatName : "";
    ReportIcon icon = ReportIcon::Information;

    const bool incomplete = in.notCleaned || in.directoriesNotScanned || in.interrupted;
    if (!ReportFindsSomething(s) && !incomplete) {
        // Nothing was looked at: that is not "not found".
        if (in.treeScan != TreeScan::Scanned) {
            log.Report(in.treeScan == TreeScan::NamesAFile ? kOnlyDirIsFileText : kOnlyDirMissingText);
            return ReportIcon::Exclamation;
        }
        if (in.cancelRequested) {
            log.ReportFormat("%s has not been found on your computer, but the scan", name);
            log.ReportFormat("was cancelled before it finished. The threat may still be present on the machine.");
        } else {
            log.ReportFormat("%s has not been found on your computer.", name);
        }
        return icon;
    }

    // A file left infected is as much a failure as one left undeleted, and
    // so are a threat process left running, a listed entry left unfixed and
    // a run that stopped before its end: no success headline over any.
    if (LeftInPlace(s) || in.runStopped || in.notCleaned != 0) {
        log.ReportFormat("The %s removal was unsuccessful.", name);
        if (s.deleteFailed == 1)
            log.ReportFormat("The tool could not delete one %s file from your PC.", name);
        else if (s.deleteFailed > 1)
            log.ReportFormat("The tool could not delete %d %s files from your PC.", static_cast<int>(s.deleteFailed), name);
        if (in.systemRestoreWasEnabled) {
            log.ReportFormat("In order to be able to delete all the infected files, you");
            log.ReportFormat("are strongly advised to disable the System Restore option.");
            log.ReportFormat("You can rerun the removal tool to see the instructions on how to do it.");
            log.ReportFormat("If the problem persists, please contact Technical Support.");
        } else if (in.isNt4) {
            log.ReportFormat("Please boot into VGA mode and run this tool again.");
        } else {
            log.ReportFormat("Please boot into Safe mode and run this tool again.");
        }
        log.ReportFormat("Files that could not be repaired or deleted by this tool must be removed");
        log.ReportFormat("manually. Check the log file for a list of files that could not be deleted.");
        log.ReportFormat("If you need more information to assist you in performing any of the above tasks,");
        log.ReportFormat("you may search our Knowledge Base at");
        log.ReportFormat("%s", kKnowledgeBaseAddress);
        icon = ReportIcon::Stop;
    } else if (in.directoriesNotScanned) {
        log.ReportFormat("The %s scan was incomplete: %d director%s could not be scanned.", name,
                         static_cast<int>(in.directoriesNotScanned), in.directoriesNotScanned == 1 ? "y" : "ies");
        log.ReportFormat("The threat may still be present there. Check the log file for the list.");
        icon = ReportIcon::Exclamation;
    } else if (s.deletesPendingReboot != 0) {
        log.ReportFormat("The %s removal was successful.", name);
        log.ReportFormat("The system will delete %d %s files from your PC on next reboot.",
             static_cast<int>(s.deletesPendingReboot), name);
        icon = ReportIcon::Exclamation;
    } else {
        log.ReportFormat("%s has been successfully removed from your computer!", name);
    }

    log.Report("");
    log.ReportFormat("Here is the report:");
    log.Report("");
    if (s.deletesPendingReboot) {
        log.ReportFormat("%d file(s) could not be deleted.", static_cast<int>(s.deletesPendingReboot));
        log.ReportFormat("They will be deleted on next reboot.");
        log.Report("");
    }
    if (s.repairsPendingReboot) {
        log.ReportFormat("%d file(s) could not be replaced after repair.", static_cast<int>(s.repairsPendingReboot));
        log.ReportFormat("They will be replaced on next reboot.");
        log.Report("");
    }
    if (s.repairsFailed) {
        log.ReportFormat("%d file(s) could not be repaired due to corruption during infection.",
             static_cast<int>(s.repairsFailed));
        log.ReportFormat("PLEASE RESTORE THESE FILES FROM A CLEAN BACKUP OR DELETE THEM.");
        log.Report("");
    }
    if (in.interrupted) {
        log.ReportFormat("The run was interrupted before it finished.");
        log.Report("");
    }
    if (in.filesLeftUnchanged) {
        log.ReportFormat("%d file(s) were found and left unchanged.", static_cast<int>(in.filesLeftUnchanged));
        log.ReportFormat("The log file says why for each of them.");
        log.Report("");
    }
    log.ReportFormat("The total number of the scanned files: %d", static_cast<int>(s.filesScanned));
    if (in.directoriesNotScanned)
        log.ReportFormat("The number of directories not scanned: %d", static_cast<int>(in.directoriesNotScanned));
    log.ReportFormat("The number of deleted threat files: %d", static_cast<int>(s.filesDeleted));
    if (s.infections) log.ReportFormat("The number of infections: %d", static_cast<int>(s.infections));
    if (s.repairs) log.ReportFormat("The number of repairs: %d", static_cast<int>(s.repairs));
    if (s.directoriesDeleted) log.ReportFormat("The number of directories deleted: %d", static_cast<int>(s.directoriesDeleted));
    log.ReportFormat("The number of threat processes terminated: %d", static_cast<int>(s.processesTerminated));
    if (in.scanThreadStarts)
        log.ReportFormat("The number of threat threads terminated: %d", static_cast<int>(s.threadsTerminated));
    log.ReportFormat("The number of registry entries fixed: %d", static_cast<int>(s.registryEntriesFixed));
    if (in.hasServices && s.servicesStopped)
        log.ReportFormat("The number of threat services terminated: %d", static_cast<int>(s.servicesStopped));
    if (in.hasServices && s.servicesRemoved)
        log.ReportFormat("The number of threat services removed: %d", static_cast<int>(s.servicesRemoved));
    if (in.sharesReported) {
        log.ReportFormat("The number of shares found: %d", static_cast<int>(in.sharesFound));
        log.ReportFormat("The number of shares secured for administrator use only: %d", static_cast<int>(in.sharesSecured));
    }
    if (s.groupMembersRemoved) log.ReportFormat("The number of group members removed: %d", static_cast<int>(s.groupMembersRemoved));
    if (s.accountsDisabled) log.ReportFormat("The number of accounts disabled: %d", static_cast<int>(s.accountsDisabled));
    return icon;
}
