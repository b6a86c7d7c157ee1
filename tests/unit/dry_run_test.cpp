// The registry lines of changes not made: in a dry run, and when the hive
// could not be written. (The dry run's report is checked on real runs of
// the native scanner.)
#include <gtest/gtest.h>

#include <string>

#include "run/dry_run_core.h"
#include "fix/registry_core.h"

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

// Process and service lines keep their head; only the outcome changes.
TEST(UnmadeActionLine, ProcessAndServiceLines) {
    const struct {
        const char* done;
        const char* dryRun;
    } cases[] = {
        {"process: VCAB.EXE (terminated)", "process: VCAB.EXE (dry run) would be terminated"},
        {"process: host.exe, thread: 000004D2 (terminated)",
         "process: host.exe, thread: 000004D2 (dry run) would be terminated"},
        {"service: Quorvin (Helper) (stopped)", "service: Quorvin (Helper) (dry run) would be stopped"},
        {"service: Quorvin Helper (deleted)", "service: Quorvin Helper (dry run) would be deleted"},
        // Lines that report no change stay as they are.
        {"process: VCAB.EXE (WARNING: can't be manipulated)", "process: VCAB.EXE (WARNING: can't be manipulated)"},
        {"service: Quorvin (can't delete, insufficient privileges)",
         "service: Quorvin (can't delete, insufficient privileges)"},
        {"process: (terminated) x", "process: (terminated) x"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(UnmadeActionLine(c.done), c.dryRun) << c.done;
}

}  // namespace
