// The native scanner's report: a summary on every run, also over a clean
// tree; nothing only a Windows machine could act on; the registry line only
// with a Windows volume.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "tests/support/hive_builder.h"
#include "tests/support/native_support.h"

namespace {

using nt::Count;

// The report, from the headline on, with the time (the one line that differs from run to run) as "*".
std::string Report(const nt::ProgramRun& run) {
    const size_t at = run.output.find("\n\n");
    return std::regex_replace(at == std::string::npos ? "" : run.output.substr(at + 2),
                              std::regex("seconds: [0-9]+\\.[0-9]{2}\n"), "seconds: *\n");
}

TEST(NativeReport, CleanTreeHasTheWholeSummary) {
    nt::TempTree tree;
    const samples::Bytes program = samples::MakeCleanHost({.seed = 300});
    ASSERT_TRUE(nt::WriteBytes(tree / "a/app.exe", program) && nt::WriteBytes(tree / "a/notes.txt", {'h', 'i'}));
    const std::string head = "W32.Quorvin has not been found on your computer.\n\nHere is the report:\n\n"
                             "The total number of the scanned files: 2\nThe number of bytes read: " +
                             std::to_string(program.size() + 2) +
                             "\nThe time taken in seconds: *\nThe number of infections: 0\n";
    EXPECT_EQ(Report(nt::RunProgram({tree.path()})),
              head + "The number of repairs: 0\nThe number of failed repairs: 0\nThe number of deleted threat files: 0\n"
                     "The number of files left unreadable: 0\n");
    EXPECT_EQ(Report(nt::RunProgram({"-n", tree.path()})),
              head + "(would be) repaired: 0\n(would be) not repaired, the file is corrupted: 0\n"
                     "(would be) deleted threat files: 0\nThe number of files left unreadable: 0\n\n"
                     "Dry run: nothing was changed.\n");
}

// Whatever the run found or failed at, no advice for a Windows machine (boot
// modes, restarts, the knowledge base) and no count of processes or services.
TEST(NativeReport, NoWindowsAdviceOnAnyOutcome) {
    nt::TempTree tree;
    ASSERT_TRUE(nt::WriteBytes(tree / "fixable/a.exe", nt::Infected(310)));
    ASSERT_TRUE(nt::WriteBytes(tree / "broken/a.exe", nt::Broken(312)));
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{tree / "fixable"}, "W32.Quorvin has been successfully removed from your computer!\n"},
        {{"-n", tree / "broken"}, "(would be) not repaired, the file is corrupted: 1\n"},
        {{tree / "broken"}, "The W32.Quorvin removal was unsuccessful.\n"},
        {{tree / "missing"}, "The W32.Quorvin scan was incomplete: 1 directory could not be scanned.\n"},
    };
    for (const auto& [args, line] : cases) {
        const std::string report = Report(nt::RunProgram(args));
        EXPECT_EQ(Count(report, line), 1u) << report;
        EXPECT_EQ(Count(report, "The number of files left unreadable: 0\n"), 1u) << report;
        for (const char* never : {"Safe mode", "VGA mode", "boot", "restart", "Knowledge Base", "http", "process",
                                  "service", "registry"})
            EXPECT_EQ(Count(report, never), 0u) << never << "\n" << report;
    }
}

// The registry line belongs to a Windows volume: there even when nothing in
// its hives was to fix, never over a plain tree.
TEST(NativeReport, RegistryLineOnlyWithAWindowsVolume) {
    nt::TempTree tree;
    ASSERT_TRUE(ht::WriteHive(tree / "vol/Windows/System32/config/SOFTWARE",
                              {{"Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", "C:\\Windows"}}));
    ASSERT_TRUE(nt::WriteBytes(tree / "vol/a.exe", nt::Infected(320)) && nt::WriteBytes(tree / "plain/a.exe", nt::Infected(322)));
    for (const std::string dry : {"-n", "--jobs=1"}) {
        const std::string volume = Report(nt::RunProgram({dry, tree / "vol"}));
        const std::string plain = Report(nt::RunProgram({dry, tree / "plain"}));
        EXPECT_EQ(Count(volume, dry == "-n" ? "(would be) fixed registry entries: 0\n"
                                            : "The number of registry entries fixed: 0\n"), 1u) << volume;
        EXPECT_EQ(Count(plain, "registry"), 0u) << plain;
    }
}

// A file the scanner cannot open (run as nobody: root opens every file) is
// counted, none of its bytes as read, and the tree is not called clean.
TEST(NativeReport, UnreadableFileIsCounted) {
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    if (std::system((nobody + " true >/dev/null 2>&1").c_str()) != 0) GTEST_SKIP() << "cannot run as another user (setpriv)";
    nt::TempTree tree;
    ASSERT_TRUE(::chmod(tree.path().c_str(), 0755) == 0 && nt::WriteBytes(tree / "open.txt", {'a', 'b'}));
    ASSERT_TRUE(nt::WriteBytes(tree / "closed.exe", nt::Infected(330)) && ::chmod((tree / "closed.exe").c_str(), 0) == 0);
    nt::ProgramRun run = nt::RunProgram({tree.path()}, {.shell = nobody});
    EXPECT_EQ(run.exitCode, 3);
    for (const char* line : {"The W32.Quorvin scan was incomplete: not everything could be examined.\n",
                             "The total number of the scanned files: 2\nThe number of bytes read: 2\n",
                             "The number of files left unreadable: 1\n"})
        EXPECT_EQ(Count(run.output, line), 1u) << run.output;
    EXPECT_EQ(Count(nt::RunProgram({"-n", tree.path()}, {.shell = nobody}).output,
                    "A real run would be unsuccessful: not everything could be examined.\n"), 1u);
}

}  // namespace
