// The native scanner's report: a summary on every run, also over a clean
// tree; nothing only a Windows machine could act on; the registry line only
// with a Windows volume.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "hive_builder.h"
#include "native_support.h"

namespace {

using nt::Count;

// The report's lines, from the headline (after the run's empty line) on.
std::vector<std::string> ReportLines(const std::string& output) {
    std::vector<std::string> lines;
    const size_t at = output.find("\n\n");
    std::istringstream in(at == std::string::npos ? "" : output.substr(at + 2));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The time is the one line that differs from run to run.
std::vector<std::string> WithoutTime(std::vector<std::string> lines) {
    static const std::regex time("The time taken in seconds: [0-9]+\\.[0-9]{2}");
    for (std::string& line : lines)
        if (std::regex_match(line, time)) line = "The time taken in seconds: *";
    return lines;
}

TEST(NativeReport, CleanTreeHasTheWholeSummary) {
    nt::TempTree tree;
    const samples::Bytes program = samples::MakeCleanHost({.seed = 300});
    ASSERT_TRUE(nt::WriteBytes(tree / "a/app.exe", program));
    ASSERT_TRUE(nt::WriteBytes(tree / "a/notes.txt", {'h', 'i', '\n'}));
    const std::string bytes = std::to_string(program.size() + 3);
    const std::vector<std::string> summary = {
        "The total number of the scanned files: 2",  "The number of bytes read: " + bytes,
        "The time taken in seconds: *",              "The number of infections: 0",
    };
    const struct {
        bool dry;
        std::vector<std::string> tail;
    } cases[] = {
        {false, {"The number of repairs: 0", "The number of failed repairs: 0", "The number of deleted threat files: 0",
                 "The number of files left unreadable: 0"}},
        {true, {"(would be) repaired: 0", "(would be) not repaired, the file is corrupted: 0",
                "(would be) deleted threat files: 0", "The number of files left unreadable: 0", "",
                "Dry run: nothing was changed."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dry ? "dry run" : "real run");
        std::vector<std::string> args = {tree.path()};
        if (c.dry) args.insert(args.begin(), "-n");
        nt::ProgramRun run = nt::RunProgram(args);
        EXPECT_EQ(run.exitCode, 0);
        std::vector<std::string> expected = {"W32.Quorvin has not been found on your computer.", "",
                                             "Here is the report:", ""};
        expected.insert(expected.end(), summary.begin(), summary.end());
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(WithoutTime(ReportLines(run.output)), expected) << run.output;
    }
}

// Whatever the run found or failed at, its report holds no advice for a
// Windows machine (boot modes, restarts, the knowledge base) and no count of
// what a Linux run cannot do.
TEST(NativeReport, NoWindowsAdviceOnAnyOutcome) {
    nt::TempTree tree;
    ASSERT_TRUE(nt::WriteBytes(tree / "fixable/a.exe", nt::Infected(310)));
    ASSERT_TRUE(nt::WriteBytes(tree / "broken/a.exe", nt::Broken(312)));
    ASSERT_TRUE(nt::WriteBytes(tree / "broken/v.dll", samples::MakeThreatFile({.build = 1})));
    const struct {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> lines;
    } cases[] = {
        {{tree / "fixable"}, 1, {"W32.Quorvin has been successfully removed from your computer!", "The number of repairs: 1"}},
        {{"-n", tree / "broken"}, 2, {"(would be) not repaired, the file is corrupted: 1", "(would be) deleted threat files: 1"}},
        {{tree / "broken"}, 2,
         {"The W32.Quorvin removal was unsuccessful.", "Files that could not be repaired or deleted by this tool must be removed",
          "1 file(s) could not be repaired due to corruption during infection.", "The number of failed repairs: 1",
          "The number of deleted threat files: 1"}},
        {{tree / "missing"}, 3, {"The W32.Quorvin scan was incomplete: 1 directory could not be scanned."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        nt::ProgramRun run = nt::RunProgram(c.args);
        EXPECT_EQ(run.exitCode, c.code) << run.output;
        const std::vector<std::string> report = ReportLines(run.output);
        for (const std::string& line : c.lines) EXPECT_EQ(std::count(report.begin(), report.end(), line), 1) << line;
        EXPECT_EQ(std::count(report.begin(), report.end(), "The number of files left unreadable: 0"), 1) << run.output;
        for (const char* never : {"Safe mode", "VGA mode", "boot", "restart", "Knowledge Base", "http", "processes",
                                  "services", "registry"})
            EXPECT_EQ(Count(run.output, never), 0u) << never << "\n" << run.output;
    }
}

// The registry line belongs to a Windows volume: there even when nothing in
// its hives was to fix, never over a plain tree.
TEST(NativeReport, RegistryLineOnlyWithAWindowsVolume) {
    nt::TempTree tree;
    ASSERT_TRUE(ht::WriteHive(tree / "vol/Windows/System32/config/SOFTWARE",
                              {{"Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", "C:\\Windows"}}));
    ASSERT_TRUE(nt::WriteBytes(tree / "vol/Users/a.exe", nt::Infected(320)));
    ASSERT_TRUE(nt::WriteBytes(tree / "plain/a.exe", nt::Infected(322)));
    for (const bool dry : {true, false}) {
        SCOPED_TRACE(dry ? "dry run" : "real run");
        const std::string line = dry ? "(would be) fixed registry entries: 0\n" : "The number of registry entries fixed: 0\n";
        auto run = [&](const std::string& path) {
            return dry ? nt::RunProgram({"-n", path}) : nt::RunProgram({path});
        };
        nt::ProgramRun volume = run(tree / "vol"), plain = run(tree / "plain");
        EXPECT_EQ(Count(volume.output, line), 1u) << volume.output;
        EXPECT_EQ(Count(plain.output, "registry"), 0u) << plain.output;
        EXPECT_EQ(volume.exitCode, 1);
        EXPECT_EQ(plain.exitCode, 1);
    }
}

// A file the scanner cannot open (run as nobody: root opens every file) is
// counted as unreadable, none of its bytes as read, and the tree is not
// called clean.
TEST(NativeReport, UnreadableFileIsCounted) {
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    if (std::system((nobody + " true >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "cannot run as another user here (setpriv)";
    nt::TempTree tree;
    ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
    ASSERT_TRUE(nt::WriteBytes(tree / "open.txt", {'a', 'b'}));
    ASSERT_TRUE(nt::WriteBytes(tree / "closed.exe", nt::Infected(330)));
    ASSERT_EQ(::chmod((tree / "closed.exe").c_str(), 0), 0);
    nt::ProgramRun run = nt::RunProgram({tree.path()}, {.shell = nobody});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(Count(run.output, "The total number of the scanned files: 2\n"), 1u) << run.output;
    EXPECT_EQ(Count(run.output, "The number of bytes read: 2\n"), 1u) << run.output;
    EXPECT_EQ(Count(run.output, "The number of files left unreadable: 1\n"), 1u) << run.output;
    EXPECT_EQ(Count(run.output, "W32.Quorvin scan was incomplete: not everything could be examined.\n"), 1u)
        << run.output;
    EXPECT_EQ(Count(run.output, "has not been found"), 0u);
    nt::ProgramRun dry = nt::RunProgram({"-n", tree.path()}, {.shell = nobody});
    EXPECT_EQ(Count(dry.output, "A real run would be unsuccessful: not everything could be examined.\n"), 1u)
        << dry.output;
}

}  // namespace
