#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "run/log_core.h"
#include "run/report_core.h"
#include "tests/support/log_capture.h"

namespace {

class Report : public ::testing::Test {
protected:
    void SetUp() override {
        in.stats = &stats;
        in.threatName = "W32.Quorvin";
        in.hasServices = true;
        in.scanThreadStarts = true;
    }
    ReportIcon Compose() { return ComposeReport(in, runLog); }

    RunLog runLog;
    testsupport::LogCapture log{runLog};
    RemovalStats stats;
    ReportInputs in;
};

const char kBody[] =
    "\nHere is the report:\n\n";

TEST_F(Report, NothingFound) {
    stats.filesScanned = 812;
    stats.infections = 3;   // infections alone are not "found": nothing was removed
    EXPECT_EQ(Compose(), ReportIcon::Information);
    EXPECT_EQ(runLog.reportText, "W32.Quorvin has not been found on your computer.\n");
    EXPECT_EQ(log.text, "W32.Quorvin has not been found on your computer.\r\n");
}

TEST_F(Report, NothingFoundButCancelled) {
    in.cancelRequested = true;
    EXPECT_EQ(Compose(), ReportIcon::Information);
    EXPECT_EQ(runLog.reportText,
              "W32.Quorvin has not been found on your computer, but the scan\n"
              "was cancelled before it finished. The threat may still be present on the machine.\n");
}

// A /ONLYDIR= tree that was never scanned does not read as clean, cancelled
// or not; a find elsewhere (a threat file) is still reported as one.
TEST_F(Report, TreeNotScannedIsNoNotFound) {
    struct {
        TreeScan scan;
        const char* text;
    } cases[] = {
        {TreeScan::FolderMissing, "No file was scanned: the folder given with /ONLYDIR= does not exist.\n"},
        {TreeScan::NamesAFile, "No file was scanned: the path given with /ONLYDIR= names a file, not a folder.\n"},
    };
    for (auto& c : cases) {
        for (bool cancelled : {false, true}) {
            runLog.reportText.clear();
            in.treeScan = c.scan;
            in.cancelRequested = cancelled;
            EXPECT_EQ(Compose(), ReportIcon::Exclamation);
            EXPECT_EQ(runLog.reportText, c.text);
        }
    }
    runLog.reportText.clear();
    stats.filesDeleted = 1;
    EXPECT_EQ(Compose(), ReportIcon::Information);
    EXPECT_EQ(runLog.reportText.rfind("W32.Quorvin has been successfully removed from your computer!\n", 0), 0u);
}

TEST_F(Report, SuccessWithAllCounters) {
    stats.filesScanned = 100;
    stats.filesDeleted = 2;
    stats.infections = 4;
    stats.repairs = 3;
    stats.directoriesDeleted = 1;
    stats.processesTerminated = 5;
    stats.threadsTerminated = 6;
    stats.registryEntriesFixed = 7;
    stats.servicesStopped = 8;
    stats.servicesRemoved = 9;
    stats.groupMembersRemoved = 10;
    stats.accountsDisabled = 11;
    in.cancelRequested = true;   // not mentioned when something was found
    EXPECT_EQ(Compose(), ReportIcon::Information);
    EXPECT_EQ(runLog.reportText, std::string("W32.Quorvin has been successfully removed from your computer!\n") + kBody +
                              "The total number of the scanned files: 100\n"
                              "The number of deleted threat files: 2\n"
                              "The number of infections: 4\n"
                              "The number of repairs: 3\n"
                              "The number of directories deleted: 1\n"
                              "The number of threat processes terminated: 5\n"
                              "The number of threat threads terminated: 6\n"
                              "The number of registry entries fixed: 7\n"
                              "The number of threat services terminated: 8\n"
                              "The number of threat services removed: 9\n"
                              "The number of group members removed: 10\n"
                              "The number of accounts disabled: 11\n");
}

TEST_F(Report, ConditionalCounterLinesAreLeftOut) {
    stats.threadsTerminated = 1;          // threads alone count as found
    stats.servicesStopped = 2;
    in.hasServices = false;               // service lines need the definition flag
    EXPECT_EQ(Compose(), ReportIcon::Information);
    EXPECT_EQ(runLog.reportText, std::string("W32.Quorvin has been successfully removed from your computer!\n") + kBody +
                              "The total number of the scanned files: 0\n"
                              "The number of deleted threat files: 0\n"
                              "The number of threat processes terminated: 0\n"
                              "The number of threat threads terminated: 1\n"
                              "The number of registry entries fixed: 0\n");
    runLog.reportText.clear();
    in.scanThreadStarts = false;
    Compose();
    EXPECT_EQ(runLog.reportText.find("threads"), std::string::npos);
}

std::string Unsuccessful(const std::string& advice, const std::string& count) {
    return "The W32.Quorvin removal was unsuccessful.\n" + count + advice +
           "Files that could not be repaired or deleted by this tool must be removed\n"
           "manually. Check the log file for a list of files that could not be deleted.\n"
           "If you need more information to assist you in performing any of the above tasks,\n"
           "you may search our Knowledge Base at\n" +
           std::string(kKnowledgeBaseAddress) + "\n";
}

// Files waiting for the restart, and with files left infected as well: those
// outrank the waiting ones (the unsuccessful headline, without the line about
// undeleted files when every file could be deleted), every body line as before.
TEST_F(Report, PendingDeletesAndRepairsWithAndWithoutFailedRepairs) {
    const std::string pending =
        "2 file(s) could not be deleted.\n"
        "They will be deleted on next reboot.\n\n"
        "1 file(s) could not be replaced after repair.\n"
        "They will be replaced on next reboot.\n\n";
    const std::string counters =
        "The total number of the scanned files: 0\n"
        "The number of deleted threat files: 0\n"
        "The number of threat processes terminated: 0\n"
        "The number of threat threads terminated: 0\n"
        "The number of registry entries fixed: 0\n";
    const struct { uint32_t failed; ReportIcon icon; std::string headline, failedLines; } cases[] = {
        {0, ReportIcon::Exclamation,
         "The W32.Quorvin removal was successful.\n"
         "The system will delete 2 W32.Quorvin files from your PC on next reboot.\n",
         ""},
        {3, ReportIcon::Stop, Unsuccessful("Please boot into Safe mode and run this tool again.\n", ""),
         "3 file(s) could not be repaired due to corruption during infection.\n"
         "PLEASE RESTORE THESE FILES FROM A CLEAN BACKUP OR DELETE THEM.\n\n"},
    };
    for (const auto& c : cases) {
        stats.deletesPendingReboot = 2;
        stats.repairsPendingReboot = 1;
        stats.repairsFailed = c.failed;
        runLog.reportText.clear();
        EXPECT_EQ(Compose(), c.icon) << c.failed;
        EXPECT_EQ(runLog.reportText, c.headline + kBody + pending + c.failedLines + counters) << c.failed;
    }
}

TEST_F(Report, RepairFailureAloneIsFoundAndUnsuccessful) {
    stats.repairsFailed = 1;
    stats.repairs = 4;
    EXPECT_EQ(Compose(), ReportIcon::Stop);
    EXPECT_EQ(runLog.reportText.find("The W32.Quorvin removal was unsuccessful.\n"), 0u);
    EXPECT_EQ(runLog.reportText.find("successfully removed"), std::string::npos);
    EXPECT_EQ(runLog.reportText.find("could not delete"), std::string::npos);
    EXPECT_NE(runLog.reportText.find("1 file(s) could not be repaired due to corruption during infection.\n"),
              std::string::npos);
}

TEST_F(Report, RepairWaitingForTheRestartAloneIsFound) {
    stats.filesScanned = 9;
    stats.infections = 1;
    stats.repairsPendingReboot = 1;
    EXPECT_EQ(Compose(), ReportIcon::Information);
    EXPECT_EQ(runLog.reportText, std::string("W32.Quorvin has been successfully removed from your computer!\n") + kBody +
                              "1 file(s) could not be replaced after repair.\n"
                              "They will be replaced on next reboot.\n\n"
                              "The total number of the scanned files: 9\n"
                              "The number of deleted threat files: 0\n"
                              "The number of infections: 1\n"
                              "The number of threat processes terminated: 0\n"
                              "The number of threat threads terminated: 0\n"
                              "The number of registry entries fixed: 0\n");
}

// Each of the counters, set alone to 1, makes `sum` true.
template <class Sum>
void ExpectEachAloneCounts(Sum sum, std::initializer_list<uint32_t RemovalStats::*> counters) {
    for (uint32_t RemovalStats::*field : counters) {
        RemovalStats one;
        one.*field = 1;
        EXPECT_TRUE(sum(one));
    }
}

TEST(ThreatFound, SumOfItsOwnCounters) {
    RemovalStats s;
    EXPECT_FALSE(ThreatCountsAsFound(s, 0));
    s.infections = 2;
    s.repairsFailed = 1;        // not part of this sum
    EXPECT_FALSE(ThreatCountsAsFound(s, 0));
    EXPECT_TRUE(ThreatCountsAsFound(s, 1));
    ExpectEachAloneCounts([](const RemovalStats& one) { return ThreatCountsAsFound(one, 0); },
                          {&RemovalStats::deleteFailed, &RemovalStats::deletesPendingReboot,
                           &RemovalStats::filesDeleted, &RemovalStats::repairs,
                           &RemovalStats::repairsPendingReboot, &RemovalStats::processesTerminated});
}

// A threat service, a fixed threat value and the threat's running code are
// the threat found as much as a deleted file: each alone is a find for the
// passes that follow a detection and for the report.
TEST(ThreatFound, ServicesRegistryEntriesAndRunningCodeAreFinds) {
    const std::initializer_list<uint32_t RemovalStats::*> finds = {
        &RemovalStats::servicesStopped,        &RemovalStats::servicesRemoved,
        &RemovalStats::registryEntriesFixed,   &RemovalStats::registryEntriesNotFixed,
        &RemovalStats::threadsTerminated,      &RemovalStats::processesNotTerminated,
        &RemovalStats::threadsNotTerminated};
    ExpectEachAloneCounts([](const RemovalStats& one) { return ThreatCountsAsFound(one, 0); }, finds);
    ExpectEachAloneCounts(ReportFindsSomething, finds);
}

// The report's own sum: any one of these alone turns "not found" into a result.
TEST(ReportFinds, EachCounterAloneIsAFind) {
    RemovalStats s;
    s.filesScanned = 5;
    s.infections = 2;
    EXPECT_FALSE(ReportFindsSomething(s));
    ExpectEachAloneCounts(ReportFindsSomething,
                          {&RemovalStats::deleteFailed, &RemovalStats::repairsFailed,
                           &RemovalStats::deletesPendingReboot, &RemovalStats::filesDeleted, &RemovalStats::repairs,
                           &RemovalStats::repairsPendingReboot, &RemovalStats::processesTerminated,
                           &RemovalStats::threadsTerminated});
}

// What was found and left in place, and a run that stopped after a find,
// get the unsuccessful headline without the line about undeleted files.
TEST_F(Report, WhatWasLeftInPlaceIsUnsuccessful) {
    struct Case {
        const char* what;
        uint32_t RemovalStats::*counter;
        bool stopped;
    } cases[] = {
        {"threat process not ended", &RemovalStats::processesNotTerminated, false},
        {"threat thread not ended", &RemovalStats::threadsNotTerminated, false},
        {"registry entry not fixed", &RemovalStats::registryEntriesNotFixed, false},
        {"stopped after a deleted file", &RemovalStats::filesDeleted, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        stats = RemovalStats{};
        stats.*c.counter = 1;
        in.runStopped = c.stopped;
        runLog.reportText.clear();
        EXPECT_EQ(Compose(), ReportIcon::Stop);
        EXPECT_EQ(runLog.reportText.substr(0, runLog.reportText.find("\nHere is")),
                  Unsuccessful("Please boot into Safe mode and run this tool again.\n", ""));
    }
}

TEST_F(Report, UnsuccessfulHeadlinesByPlatform) {
    stats.deleteFailed = 1;
    stats.deletesPendingReboot = 1;   // the failure headline wins
    EXPECT_EQ(Compose(), ReportIcon::Stop);
    std::string one = "The tool could not delete one W32.Quorvin file from your PC.\n";
    EXPECT_EQ(runLog.reportText.substr(0, runLog.reportText.find("\nHere is")),
              Unsuccessful("Please boot into Safe mode and run this tool again.\n", one));

    runLog.reportText.clear();
    stats.deleteFailed = 2;
    in.isNt4 = true;
    EXPECT_EQ(Compose(), ReportIcon::Stop);
    std::string two = "The tool could not delete 2 W32.Quorvin files from your PC.\n";
    EXPECT_EQ(runLog.reportText.substr(0, runLog.reportText.find("\nHere is")),
              Unsuccessful("Please boot into VGA mode and run this tool again.\n", two));

    runLog.reportText.clear();
    in.systemRestoreWasEnabled = true;
    Compose();
    EXPECT_EQ(runLog.reportText.substr(0, runLog.reportText.find("\nHere is")),
              Unsuccessful("In order to be able to delete all the infected files, you\n"
                           "are strongly advised to disable the System Restore option.\n"
                           "You can rerun the removal tool to see the instructions on how to do it.\n"
                           "If the problem persists, please contact Technical Support.\n",
                           two));
}

TEST_F(Report, SharesAreReportedWhenTheirPhaseRan) {
    stats.filesDeleted = 1;
    in.sharesReported = true;
    in.sharesFound = 0;
    in.sharesSecured = 0;
    Compose();
    EXPECT_NE(runLog.reportText.find("The number of registry entries fixed: 0\n"
                              "The number of shares found: 0\n"
                              "The number of shares secured for administrator use only: 0\n"),
              std::string::npos);
}

TEST_F(Report, EveryLineGoesToTheLogWithCrLf) {
    stats.filesDeleted = 1;
    Compose();
    std::string expected;
    for (char c : runLog.reportText) expected += (c == '\n') ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(log.text, expected);
}

}  // namespace
