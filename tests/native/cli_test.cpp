// The scanner as a command: its option forms, the log target it accepts,
// the ends of its lines and what a dry run's report says.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/native_support.h"
#include "tests/support/product.h"

namespace {

using nt::Bytes;
using nt::Count;
using nt::Infected;

// Each form as a script would type it; an error comes before any work (the
// infected file is still as it was).
TEST(Options, GnuFormsAndClearErrors) {
    nt::TempTree tree;
    const Bytes image = Infected(200);
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", image));
    const std::string t = tree / "t", log = tree / "run.log", missing = tree / "missing";
    const struct {
        std::vector<std::string> args;
        int code;
        std::string says;   // in the output (with standard error)
    } cases[] = {
        {{"-nh"}, 0, "Usage: fixquorvin"},
        {{"--help"}, 0, "a progress line"},
        {{"--version"}, 0, "fixquorvin " + testsupport::kProductName + " "},
        {{"-n", "--log", log, t}, 1, "(dry run) would be repaired"},
        {{"--dry-run", "--log=" + log, "--jobs", "2", t}, 1, "(dry run) would be repaired"},
        {{"--exclude=", t}, 3, "fixquorvin: option '--exclude' needs a value\n"},
        {{"--log=", t}, 3, "option '--log' needs a value"},
        {{t, "--log"}, 3, "option '--log' needs a value"},
        {{"--exclude=" + missing, t}, 3, "option '--exclude': cannot find " + missing},
        {{"--windows-root=" + missing, t}, 3, "option '--windows-root': cannot find " + missing},
        {{"--windows-root", missing}, 3, "cannot find"},
        // A folder that holds no Windows volume is named as such.
        {{"--windows-root", t, "-n", t}, 3, t + ": (WARNING: no Windows volume, its SOFTWARE hive was not found)\n"},
        {{"--no-such-option", t}, 3, "unknown option: --no-such-option"},
        {{"-nx", t}, 3, "unknown option: -x"},
        {{"--help=yes"}, 3, "option '--help' takes no value"},
        {{"--jobs=0", t}, 3, "invalid --jobs value: 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        nt::ProgramRun run = nt::RunProgram(c.args, {.withErrors = true});
        EXPECT_EQ(run.exitCode, c.code) << run.output;
        EXPECT_EQ(Count(run.output, c.says), 1u) << run.output;
        EXPECT_EQ(nt::ReadBytes(tree / "t/a.exe"), image);
    }
    // The value given as the next argument is the log, not a tree.
    EXPECT_EQ(Count(nt::ReadText(log), "a.exe: (dry run) would be repaired\r\n"), 1u);
}

// A log that is not a regular file is refused at once: a pipe with no reader
// would block the run for ever, and a device or socket is no log.
TEST(Options, LogThatIsNotARegularFileIsAnError) {
    nt::TempTree tree;
    const Bytes image = Infected(210);
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", image));
    ASSERT_EQ(::mkfifo((tree / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mknod((tree / "socket").c_str(), S_IFSOCK | 0600, 0), 0);
    ASSERT_EQ(::symlink((tree / "fifo").c_str(), (tree / "link-to-fifo").c_str()), 0);
    for (const std::string& target : {tree / "fifo", tree.path(), tree / "socket", std::string("/dev/null"),
                                      tree / "link-to-fifo"}) {
        nt::ProgramRun run = nt::RunProgram({"--log=" + target, tree / "t"}, {.withErrors = true, .seconds = 10});
        EXPECT_EQ(run.exitCode, 3) << target << "\n" << run.output;
        EXPECT_EQ(run.output, "fixquorvin: cannot use " + target + " as the log file: it is not a regular file\n");
        EXPECT_EQ(nt::ReadBytes(tree / "t/a.exe"), image) << target;
    }
}

// Every line ends once: CR LF in the log file, LF on standard output, the
// repair's attempt line too.
TEST(Output, EveryLineEndsOnce) {
    nt::TempTree tree;
    ASSERT_TRUE(nt::WriteBytes(tree / "t/a.exe", Infected(220)));
    nt::ProgramRun run = nt::RunProgram({"--log=" + tree / "run.log", tree / "t"});
    ASSERT_EQ(run.exitCode, 1) << run.output;
    const std::string log = nt::ReadText(tree / "run.log");
    EXPECT_EQ(Count(log, "a.exe: Attempting to repair the virus\r\n" + tree / "t/a.exe: File repaired.\r\n"), 1u) << log;
    EXPECT_EQ(Count(log, "\n"), Count(log, "\r\n")) << log;
    std::string withoutCr = log;
    std::erase(withoutCr, '\r');
    EXPECT_EQ(run.output, withoutCr);
}

// A dry run's headline and counters say what a real run would do (that its
// counters are the real run's: Program.DryRunThenAQuarantinedRun).
TEST(DryRun, ReportSaysWhatARealRunWouldDo) {
    nt::TempTree tree;
    ASSERT_TRUE(nt::WriteBytes(tree / "fixable/a.exe", Infected(230)));
    ASSERT_TRUE(nt::WriteBytes(tree / "threat/v.dll", samples::MakeThreatFile({.build = 1})));
    ASSERT_TRUE(nt::WriteBytes(tree / "broken/a.exe", nt::Broken(232)));
    ASSERT_TRUE(nt::WriteBytes(tree / "clean/a.exe", samples::MakeCleanHost({.seed = 234})));
    const auto before = nt::Snapshot(tree.path());
    const struct {
        const char* dir;
        int code;
        std::string line;
    } cases[] = {
        {"fixable", 1, "W32.Quorvin was found: a real run would make 1 repair and delete 0 files.\n"},
        {"threat", 1, "W32.Quorvin was found: a real run would make 0 repairs and delete 1 file.\n"},
        {"broken", 2, "A real run would be unsuccessful: 1 find would be left as found.\n"},
        {"broken", 2, "(would be) not repaired, the file is corrupted: 1\n"},
        {"clean", 0, "W32.Quorvin has not been found on your computer.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        nt::ProgramRun run = nt::RunProgram({"-n", tree / c.dir});
        EXPECT_EQ(run.exitCode, c.code);
        EXPECT_EQ(Count(run.output, c.line), 1u) << run.output;
        for (const char* never : {"successfully removed", "removal was", "The number of repairs",
                                  "The number of deleted", "registry entries fixed", "processes terminated"})
            EXPECT_EQ(Count(run.output, never), 0u) << never;
        EXPECT_TRUE(run.output.ends_with("\n\nDry run: nothing was changed.\n")) << run.output;
        EXPECT_EQ(nt::Snapshot(tree.path()), before);
    }
}

}  // namespace
