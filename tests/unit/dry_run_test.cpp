// The texts of changes not made: the registry lines of a dry run and of a
// hive that could not be written, and a dry run's report.
#include <gtest/gtest.h>

#include <string>

#include "app/dry_run_core.h"
#include "app/log_core.h"
#include "app/report_core.h"
#include "fix/registry_core.h"
#include "tests/unit/log_capture.h"

namespace {

// Every line the fix lists compose once a change is made, composed as they
// compose it, in both forms; a line that reports no change stays.
TEST(UnmadeRegistryLine, EveryFixLineInBothForms) {
    using namespace regcore;
    const std::string key = "registry: HKLM\\Software\\Run";
    const struct {
        std::string done, dryRun, notWritten;
    } cases[] = {
        {ValueDeletedLine(key, "Runonce"), key + ": Runonce (dry run) would be deleted",
         key + ": Runonce (WARNING: not deleted, the hive could not be written)"},
        {KeyDeletedLine(key), key + " (dry run) would be deleted",
         key + " (WARNING: not deleted, the hive could not be written)"},
        {ValueDeletedLine(key, "@"), key + ": (Default) (dry run) would be cleared",
         key + ": (Default) (WARNING: not cleared, the hive could not be written)"},
        {DataValueDeletedLine(key, ""), key + ": (Default) (dry run) would be deleted",
         key + ": (Default) (WARNING: not deleted, the hive could not be written)"},
        {DwordSetLine(key, "NoRun", 7), key + ": NoRun (dry run) would be set to 0x00000007 (7)",
         key + ": NoRun (WARNING: not set to 0x00000007 (7), the hive could not be written)"},
        // The new value may hold the words of the set form itself.
        {StringSetLine(key, "Shell", "x (value set to y)"), key + ": Shell (dry run) would be set to \"x (value set to y)\"",
         key + ": Shell (WARNING: not set to \"x (value set to y)\", the hive could not be written)"},
        {RestoredLine(false, "", "HKLM\\Software\\Run", "Shell", false),
         "registry: HKLM\\Software\\Run: Shell (dry run) would be restored",
         "registry: HKLM\\Software\\Run: Shell (WARNING: not restored, the hive could not be written)"},
        {RestoreFailedLine("HKLM\\Software\\Run", "Shell", false), RestoreFailedLine("HKLM\\Software\\Run", "Shell", false),
         RestoreFailedLine("HKLM\\Software\\Run", "Shell", false)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnmadeRegistryLine(c.done, UnmadeChange::DryRun), c.dryRun);
        EXPECT_EQ(UnmadeRegistryLine(c.done, UnmadeChange::HiveNotWritten), c.notWritten);
    }
}

class DryRunReport : public ::testing::Test {
protected:
    std::string Compose() {
        in.stats = &stats;
        in.threatName = "W32.Quorvin";
        ComposeDryRunReport(in, runLog);
        return runLog.reportText;
    }
    RunLog runLog;
    qt::LogCapture log{runLog};
    RemovalStats stats;
    DryRunReportInputs in;
};

TEST_F(DryRunReport, CountsWhatARealRunWouldDo) {
    stats.filesScanned = 40;
    stats.infections = 3;
    stats.repairs = 2;
    stats.filesDeleted = 1;
    stats.registryEntriesFixed = 1;
    EXPECT_EQ(Compose(),
              "W32.Quorvin was found: a real run would make 2 repairs and delete 1 file.\n"
              "\nHere is the report:\n\n"
              "The total number of the scanned files: 40\n"
              "The number of infections: 3\n"
              "(would be) repaired: 2\n"
              "(would be) deleted threat files: 1\n"
              "(would be) fixed registry entries: 1\n");
    EXPECT_EQ(log.text.find("\n\n"), std::string::npos);   // CR LF lines in the log
}

TEST_F(DryRunReport, WhatWouldFailAndWhatWasNotExamined) {
    stats.infections = 1;
    stats.repairsFailed = 1;
    in.notCleaned = 1;
    EXPECT_TRUE(Compose().starts_with("W32.Quorvin was found: a real run would make 0 repairs and delete 0 files.\n"
                                      "A real run would be unsuccessful: 1 find would be left as found.\n"
                                      "\nHere is the report:\n\n"))
        << runLog.reportText;
    EXPECT_NE(runLog.reportText.find("(would be) not repaired, the file is corrupted: 1\n"), std::string::npos);

    RunLog other;
    stats = {};
    in = {};
    in.stats = &stats;
    in.threatName = "W32.Quorvin";
    in.incomplete = true;
    ComposeDryRunReport(in, other);
    EXPECT_TRUE(other.reportText.starts_with("W32.Quorvin has not been found in what could be examined.\n"
                                             "A real run would be unsuccessful: not everything could be examined.\n"))
        << other.reportText;
}

// A native find left in place that no counter holds makes the report unsuccessful.
TEST(ReportNotCleaned, MakesTheRemovalUnsuccessful) {
    RemovalStats stats;
    stats.repairs = 1;
    ReportInputs in;
    in.stats = &stats;
    in.threatName = "W32.Quorvin";
    in.notCleaned = 1;
    RunLog log;
    EXPECT_EQ(ComposeReport(in, log), ReportIcon::Stop);
    EXPECT_EQ(log.reportText.find("The W32.Quorvin removal was unsuccessful.\n"), 0u);
    in.notCleaned = 0;
    RunLog clean;
    EXPECT_EQ(ComposeReport(in, clean), ReportIcon::Information);
    EXPECT_EQ(clean.reportText.find("W32.Quorvin has been successfully removed from your computer!\n"), 0u);
}

}  // namespace
