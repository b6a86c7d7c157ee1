// The removal run end to end under Wine: the log of a clean machine, the log
// path, a second silent copy, command lines that name nothing or quote their
// paths, platforms, early exits and the restart.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/environment.h"
#include "app/removal_run.h"
#include "ps/win32/system_functions.h"
#include "support/product.h"
#include "support/repair_support.h"
#include "support/replace.h"
#include "support/support.h"
#include "win32/unique_handle.h"

namespace {

const std::string& kTitle = testsupport::kProductTitle;
// The process phase, which finds nothing, ends with an empty line.
const std::string kCleanLog = std::string(kTitle) +
                              "\r\n\r\n"
                              "W32.Quorvin has not been found on your computer.\r\n"
                              "\r\nThe tool was executed in silent mode.\r\n\r\n";

std::string Program() { return testsupport::BinDir() + "\\FixQuorvin.exe"; }

// Runs the program silently (its log in a folder of its own) and returns the log.
std::string RunTool(const std::string& switches) {
    std::string dir = testsupport::NewWorkDir("run");
    testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S " + switches, dir, 600000);
    EXPECT_TRUE(r.finished);
    return testsupport::ReadText(dir + "\\fixquorvin.log");
}

TEST(SilentRun, CleanMachineLogIsExact) {
    std::string dir = testsupport::NewWorkDir("silent");
    testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S", dir, 600000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(testsupport::ReadText(dir + "\\fixquorvin.log"), kCleanLog);
    // A second run replaces the log instead of appending to it.
    r = testsupport::Run("\"" + Program() + "\" /S /NOFILESCAN", dir, 600000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(testsupport::ReadText(dir + "\\fixquorvin.log"),
              std::string(kTitle) + "\r\n\r\nW32.Quorvin has not been found on your computer.\r\n"
                                    "\r\nThe tool was executed in silent mode.\r\n\r\n"
                                    "\r\nNo files were scanned by the tool...\r\n");
}

TEST(SilentRun, LogPathWithEnvironmentVariable) {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    std::string log = std::string(temp) + "QUORVIN-TEMP.LOG";
    DeleteFileA(log.c_str());
    std::string dir = testsupport::NewWorkDir("templog");
    testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /s /NOFILESCAN /log=%TEMP%\\quorvin-temp.log", dir);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(testsupport::ReadText(log).substr(0, kTitle.size() + 2), std::string(kTitle) + "\r\n");
    EXPECT_FALSE(testsupport::FileExists(dir + "\\fixquorvin.log"));
}

TEST(SilentRun, ReadOnlyHiddenLogIsReplaced) {
    std::string dir = testsupport::NewWorkDir("rolog");
    std::string log = dir + "\\fixquorvin.log";
    ASSERT_TRUE(testsupport::WriteBytes(log, {'o', 'l', 'd'}));
    SetFileAttributesA(log.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S /NOFILESCAN", dir);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(testsupport::ReadText(log).substr(0, kTitle.size()), kTitle);
    EXPECT_EQ(GetFileAttributesA(log.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c -= 32;
    return s;
}

// A second silent copy while a run scans has nobody to answer a box: it ends
// at once with exit code 0, writes nothing, and the running copy finishes
// exactly as it would alone.
TEST(SilentRun, SecondSilentCopyDuringAScanEndsAtOnce) {
    // The scan is fast; the first run is held where it stands (its log is
    // open, its instance taken) while the second copy comes and goes.
    std::string dir = testsupport::NewWorkDir("first");
    std::string firstLog = dir + "\\fixquorvin.log";
    testsupport::Process first;
    ASSERT_TRUE(first.Start("\"" + Program() + "\" /S", dir));
    for (int i = 0; i < 600 && !testsupport::FileExists(firstLog); ++i) Sleep(100);
    ASSERT_TRUE(testsupport::FileExists(firstLog));
    win32::UniqueKernelHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, first.MainThreadId()));
    ASSERT_TRUE(thread);
    ASSERT_NE(SuspendThread(thread.get()), static_cast<DWORD>(-1));
    const bool running = first.Wait(0) == 0xFFFFFFFF;

    std::string secondLog = dir + "\\second.log";
    testsupport::ProcessResult second = testsupport::Run("\"" + Program() + "\" /S /LOG=" + secondLog, dir, 60000);
    ResumeThread(thread.get());
    ASSERT_TRUE(running) << "the first run was over before it could be held";
    ASSERT_TRUE(second.finished) << "the second copy waits for somebody";
    EXPECT_EQ(second.exitCode, 0u);
    EXPECT_FALSE(testsupport::FileExists(secondLog));
    EXPECT_EQ(first.Wait(600000), 0u);
    EXPECT_EQ(testsupport::ReadText(firstLog), kCleanLog);
}

// /ONLYDIR= naming no directory: nothing is scanned, a warning line stands
// above the report, and the report says that nothing was scanned instead of
// "not found" (a file is named as a file).
TEST(SilentRun, OnlyDirThatNamesNoDirectoryIsNotReportedClean) {
    std::string dir = testsupport::NewWorkDir("onlydir");
    const std::string file = dir + "\\file.exe";
    const rt::Bytes content = samples::MakeInfected(testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe"), {.seed = 700});
    ASSERT_TRUE(testsupport::WriteBytes(file, content));
    const char kMissing[] = "No file was scanned: the folder given with /ONLYDIR= does not exist.";
    const char kFile[] = "No file was scanned: the path given with /ONLYDIR= names a file, not a folder.";
    const struct {
        std::string value;
        const char* report;
    } cases[] = {{dir + "\\missing", kMissing}, {file, kFile}, {"", kMissing}};
    for (const auto& c : cases) {
        std::string work = testsupport::NewWorkDir("onlydir-run");
        testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S /ONLYDIR=" + c.value, work, 600000);
        ASSERT_TRUE(r.finished) << c.value;
        EXPECT_EQ(testsupport::ReadText(work + "\\fixquorvin.log"),
                  std::string(kTitle) + "\r\n\r\n"
                      "directory " + Upper(c.value) + ": (WARNING: not scanned, not found)\r\n" + c.report + "\r\n"
                      "\r\nThe tool was executed in silent mode.\r\n\r\n")
            << c.value;
    }
    EXPECT_EQ(testsupport::ReadBytes(file), content);
}

// Paths with blanks in quotes, beside empty exclusions that exclude nothing:
// the log is written where /LOG= says, and the tree /ONLYDIR= names is scanned.
TEST(SilentRun, QuotedPathsWithBlanksAndEmptyExclusions) {
    std::string dir = testsupport::NewWorkDir("b 9d");
    std::string tree = dir + "\\b t";
    ASSERT_TRUE(CreateDirectoryA(tree.c_str(), nullptr));
    const rt::Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    samples::InfectedSample s = samples::Infect(hello, {.seed = 701});
    ASSERT_FALSE(s.image.empty()) << s.error;
    ASSERT_TRUE(testsupport::WriteBytes(tree + "\\prog.exe", s.image));
    const rt::Bytes text(300, 't');
    ASSERT_TRUE(testsupport::WriteBytes(tree + "\\notes.txt", text));

    std::string logPath = dir + "\\b 9d.log";
    testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S /LOG=\"" + logPath + "\" /ONLYDIR=\"" + tree +
                                      "\" /EXCLUDE= /EXCLUDE=\"\"",
                                  dir, 600000);
    ASSERT_TRUE(r.finished);
    std::string log = testsupport::ReadText(logPath);
    const std::string shown = Upper(tree) + "\\prog.exe";
    EXPECT_EQ(testsupport::Count(log, shown + ": infected with W32.Quorvin!inf\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, shown + ": File repaired.\r\n"), 1u) << log;
    EXPECT_EQ(rt::ReportNumber(log, "The total number of the scanned files: "), 2) << log;
    EXPECT_EQ(testsupport::ReadBytes(tree + "\\prog.exe"), samples::ExpectedAfterRepair(s.normalizedHost, s.image));
    EXPECT_EQ(testsupport::ReadBytes(tree + "\\notes.txt"), text);
    EXPECT_FALSE(testsupport::FileExists(dir + "\\fixquorvin.log"));
}

// A switch the program does not know is still ignored, with one line for it.
TEST(SilentRun, UnknownSwitchGetsOneWarningLine) {
    std::string dir = testsupport::NewWorkDir("unknown");
    testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S /SILNET /NOFILESCAN", dir, 600000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(testsupport::ReadText(dir + "\\fixquorvin.log"),
              std::string(kTitle) + "\r\nWARNING: unknown switch \"/SILNET\" ignored\r\n"
                                    "\r\nW32.Quorvin has not been found on your computer.\r\n"
                                    "\r\nThe tool was executed in silent mode.\r\n\r\n"
                                    "\r\nNo files were scanned by the tool...\r\n");
}

// The forms a script gives a path with a blank: the switch quoted whole (as
// PowerShell, deployment tools and Wine pass such an argument), the value
// quoted, and unquoted. The first two scan the tree and nothing else; the
// third scans nothing and says which text was taken apart.
TEST(SilentRun, SwitchFormsOfAPathWithABlank) {
    const rt::Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    samples::InfectedSample s = samples::Infect(hello, {.seed = 702});
    ASSERT_FALSE(s.image.empty()) << s.error;
    const struct {
        const char* form;
        bool scans;
    } forms[] = {{"\"/SW=V\"", true}, {"/SW=\"V\"", true}, {"/SW=V", false}};
    for (const auto& f : forms) {
        std::string dir = testsupport::NewWorkDir("forms");
        std::string tree = dir + "\\data\\My Apps";
        CreateDirectoryA((dir + "\\data").c_str(), nullptr);
        ASSERT_TRUE(CreateDirectoryA(tree.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA((tree + "\\skip me").c_str(), nullptr));
        ASSERT_TRUE(testsupport::WriteBytes(tree + "\\prog.exe", s.image));
        ASSERT_TRUE(testsupport::WriteBytes(tree + "\\skip me\\kept.exe", s.image));
        ASSERT_TRUE(testsupport::WriteBytes(dir + "\\out.exe", s.image));   // outside the tree
        auto form = [&](const std::string& sw, const std::string& value) {
            std::string text = f.form;
            text.replace(text.find("SW="), 3, sw);
            text.replace(text.find('V'), 1, value);
            return text;
        };
        std::string log = dir + "\\my log.txt";
        // The unquoted form keeps the log's value quoted, so that there is a log.
        std::string logSwitch = f.scans ? form("LOG=", log) : "/LOG=\"" + log + "\"";
        testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S " + form("ONLYDIR=", tree) + " " +
                                          form("EXCLUDE=", tree + "\\skip me") + " " + logSwitch,
                                      dir, 600000);
        ASSERT_TRUE(r.finished) << f.form;
        std::string text = testsupport::ReadText(log);
        EXPECT_EQ(testsupport::ReadBytes(dir + "\\out.exe"), s.image) << f.form << "\n" << text;
        EXPECT_EQ(testsupport::ReadBytes(tree + "\\skip me\\kept.exe"), s.image) << f.form << "\n" << text;
        if (f.scans) {
            EXPECT_EQ(testsupport::ReadBytes(tree + "\\prog.exe"), samples::ExpectedAfterRepair(s.normalizedHost, s.image))
                << f.form << "\n" << text;
            EXPECT_EQ(rt::ReportNumber(text, "The total number of the scanned files: "), 1) << f.form << "\n" << text;
            EXPECT_EQ(text.find("WARNING"), std::string::npos) << f.form << "\n" << text;
        } else {
            EXPECT_EQ(testsupport::ReadBytes(tree + "\\prog.exe"), s.image) << text;
            EXPECT_NE(text.find("directory " + Upper(dir) + "\\DATA\\MY: (WARNING: not scanned, not found)\r\n"
                                "WARNING: \"APPS\" was taken as another argument: a path with blanks must be quoted\r\n"
                                "No file was scanned: the folder given with /ONLYDIR= does not exist.\r\n"),
                      std::string::npos)
                << text;
        }
    }
}

// Paths that name the tree in other words: dot segments and the "\\?\" prefix.
TEST(SilentRun, OnlyDirPathFormsNameTheSameTree) {
    const std::string tree = "C:\\QT" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((tree + "\\SUB").c_str(), nullptr));
    const rt::Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    samples::InfectedSample s = samples::Infect(hello, {.seed = 703});
    ASSERT_FALSE(s.image.empty()) << s.error;
    const std::string name = tree.substr(3);
    const std::string forms[] = {tree + "\\SUB\\..", tree + "\\..\\..\\..\\" + name, "\\\\?\\" + tree,
                                 tree + "\\.\\SUB\\..\\"};
    for (const std::string& form : forms) {
        ASSERT_TRUE(testsupport::WriteBytes(tree + "\\SUB\\prog.exe", s.image));
        std::string work = testsupport::NewWorkDir("forms-run");
        testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S /ONLYDIR=" + form, work, 600000);
        ASSERT_TRUE(r.finished) << form;
        std::string log = testsupport::ReadText(work + "\\fixquorvin.log");
        EXPECT_EQ(testsupport::Count(log, tree + "\\SUB\\prog.exe: File repaired.\r\n"), 1u) << form << "\n" << log;
        EXPECT_EQ(log.find("not found"), std::string::npos) << form << "\n" << log;
        EXPECT_EQ(rt::ReportNumber(log, "The total number of the scanned files: "), 1) << form << "\n" << log;
    }
}

// A /LOG= that cannot be created: the silent run keeps its log in the
// temporary folder (else the current directory), and says which path failed.
TEST(SilentRun, LogThatCannotBeCreatedFallsBack) {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string tempLog = std::string(temp) + "fixquorvin.log";
    std::string dir = testsupport::NewWorkDir("badlog");
    const std::string cases[] = {dir + "\\" + std::string(300, 'l') + ".log", dir + "\\missing\\q.log", dir};
    for (const std::string& bad : cases) {
        DeleteFileA(tempLog.c_str());
        testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S /NOFILESCAN /LOG=" + bad, dir, 600000);
        ASSERT_TRUE(r.finished) << bad;
        EXPECT_EQ(testsupport::ReadText(tempLog),
                  std::string(kTitle) + "\r\nWARNING: the log file given with /LOG= could not be created: " + Upper(bad) +
                      "\r\n\r\nW32.Quorvin has not been found on your computer.\r\n"
                      "\r\nThe tool was executed in silent mode.\r\n\r\n"
                      "\r\nNo files were scanned by the tool...\r\n")
            << bad;
    }
    // Without a usable temporary folder: the current directory.
    DeleteFileA(tempLog.c_str());
    char tmp[MAX_PATH] = {}, tempVar[MAX_PATH] = {};
    GetEnvironmentVariableA("TMP", tmp, MAX_PATH);
    GetEnvironmentVariableA("TEMP", tempVar, MAX_PATH);
    const std::string nowhere = dir + "\\no temp";
    SetEnvironmentVariableA("TMP", nowhere.c_str());
    SetEnvironmentVariableA("TEMP", nowhere.c_str());
    testsupport::ProcessResult r = testsupport::Run("\"" + Program() + "\" /S /NOFILESCAN /LOG=" + cases[1], dir, 600000);
    SetEnvironmentVariableA("TMP", tmp[0] ? tmp : nullptr);
    SetEnvironmentVariableA("TEMP", tempVar[0] ? tempVar : nullptr);
    ASSERT_TRUE(r.finished);
    EXPECT_FALSE(testsupport::FileExists(tempLog));
    EXPECT_EQ(testsupport::ReadText(dir + "\\fixquorvin.log")
                  .rfind(std::string(kTitle) + "\r\nWARNING: the log file given with /LOG= could not be created: " +
                             Upper(cases[1]) + "\r\n",
                         0),
              0u);
}

// Links that lead out of the scanned tree (run_test.prefix.sh): a /ONLYDIR=
// walk does not follow them, and an excluded tree stays untouched whatever
// path leads into it.
class Scope : public ::testing::Test {
protected:
    void SetUp() override {
        const rt::Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
        sample = samples::Infect(hello, {.seed = 704});
        ASSERT_FALSE(sample.image.empty()) << sample.error;
        ASSERT_TRUE(testsupport::FileExists("C:\\scope\\F\\sub\\lnk\\windows")) << "the prefix has no link";
    }
    // Planted files go back to what the prefix had, for the full scans of the other tests.
    void TearDown() override {
        testsupport::WriteBytes(kVictim, {'c', 'l', 'e', 'a', 'n'});
        for (const char* f : {"C:\\scope\\F\\in.exe", "C:\\scope\\T\\out\\victim.exe", "C:\\scope\\T\\in\\keep.exe"})
            DeleteFileA(f);
    }
    bool IsRepaired(const std::string& path) const {
        return testsupport::ReadBytes(path) == samples::ExpectedAfterRepair(sample.normalizedHost, sample.image);
    }
    static constexpr const char* kVictim = "C:\\scope\\outside\\victim.exe";
    samples::InfectedSample sample;
};

TEST_F(Scope, OnlyDirDoesNotFollowALinkOutOfItsTree) {
    ASSERT_TRUE(testsupport::WriteBytes(kVictim, sample.image));
    ASSERT_TRUE(testsupport::WriteBytes("C:\\scope\\F\\in.exe", sample.image));
    std::string log = RunTool("/ONLYDIR=C:\\scope\\F");
    EXPECT_EQ(testsupport::ReadBytes(kVictim), sample.image) << log;
    EXPECT_TRUE(IsRepaired("C:\\scope\\F\\in.exe")) << log;
    EXPECT_EQ(testsupport::Count(log, "C:\\SCOPE\\F\\sub\\lnk: (WARNING: not scanned, link to outside the /ONLYDIR= folder)\r\n"),
              1u) << log;
    // in.exe and the file link, which is scanned as the file it stands for:
    // its repair replaces the link, not the file outside.
    EXPECT_EQ(rt::ReportNumber(log, "The total number of the scanned files: "), 2) << log;
    EXPECT_EQ(testsupport::Count(log, "C:\\SCOPE\\F\\out.exe: File repaired.\r\n"), 1u) << log;
    EXPECT_TRUE(IsRepaired("C:\\scope\\F\\out.exe")) << log;
}

// T\in\lnk leads to T\out: excluded by its own path or by the link's, and
// in a /ONLYDIR= walk or one of every drive.
TEST_F(Scope, ExcludedTreeIsSkippedWhateverPathLeadsThere) {
    const char* cases[] = {"/ONLYDIR=C:\\scope\\T /EXCLUDE=C:\\scope\\T\\out",
                           "/ONLYDIR=C:\\scope\\T /EXCLUDE=C:\\scope\\T\\in\\lnk",
                           "/EXCLUDE=C:\\scope\\T\\out"};
    for (const char* switches : cases) {
        ASSERT_TRUE(testsupport::WriteBytes("C:\\scope\\T\\out\\victim.exe", sample.image));
        ASSERT_TRUE(testsupport::WriteBytes("C:\\scope\\T\\in\\keep.exe", sample.image));
        std::string log = RunTool(switches);
        EXPECT_EQ(testsupport::ReadBytes("C:\\scope\\T\\out\\victim.exe"), sample.image) << switches << "\n" << log;
        EXPECT_TRUE(IsRepaired("C:\\scope\\T\\in\\keep.exe")) << switches << "\n" << log;
        EXPECT_EQ(log.find("victim.exe"), std::string::npos) << switches << "\n" << log;
    }
}

TEST(Platform, FlagsUnderEveryWineVersion) {
    struct { const char* version; const char* flags; } cases[] = {
        {"win98", "known=1 nt=0 nt4=0 w2k=0 w9x=1 me=0"},
        {"winme", "known=1 nt=0 nt4=0 w2k=0 w9x=1 me=1"},
        {"nt40", "known=1 nt=1 nt4=1 w2k=0 w9x=0 me=0"},
        {"win2k", "known=1 nt=1 nt4=0 w2k=1 w9x=0 me=0"},
        {"winxp", "known=1 nt=1 nt4=0 w2k=0 w9x=0 me=0"},
        {"win2003", "known=0 nt=1 nt4=0 w2k=0 w9x=0 me=0"},
        {"win7", "known=0 nt=1 nt4=0 w2k=0 w9x=0 me=0"},
    };
    for (auto& c : cases) {
        std::string name = std::string("probe_") + c.version + ".exe";
        std::string exe = testsupport::CopyProgramAs("platform_probe.exe", name);
        testsupport::SetWineVersionFor(name, c.version);
        testsupport::ProcessResult r = testsupport::Run("\"" + exe + "\"", "", 60000, true);
        ASSERT_TRUE(r.finished) << c.version;
        EXPECT_EQ(r.output.substr(0, r.output.find_first_of("\r\n")), c.flags) << c.version;
    }
}

// In-process runs: the run without a dialog, silent mode.
class InProcessRun : public ::testing::Test {
protected:
    void SetUp() override {
        def = BuiltInDefinition();
        run.def = &def;
        dir = testsupport::NewWorkDir("inproc");
        run.options = DefaultRunOptions(def);
        run.options.silentMode = true;
        run.options.logPath = dir + "\\run.log";
        run.options.noFileScan = true;
    }
    std::string Log() { return testsupport::ReadText(run.options.logPath); }

    ThreatDefinition def{};
    std::string dir;
    RemovalRun run;
    RunProgress progress;
};

// A log path that cannot be created: the report begins by saying so; a
// silent run keeps its log in the temporary folder instead.
TEST_F(InProcessRun, QuotedLogPathRunsWithoutLog) {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string tempLog = std::string(temp) + "fixquorvin.log";
    for (bool silent : {false, true}) {
        DeleteFileA(tempLog.c_str());
        RemovalRun fresh(def);
        fresh.options = run.options;
        fresh.options.silentMode = silent;
        fresh.options.logPath = "\"" + dir + "\\quoted.log\"";
        RunRemoval(fresh, progress);
        EXPECT_EQ(fresh.log.reportText.rfind("The log file could not be created.\n", 0), 0u) << silent;
        EXPECT_NE(fresh.log.reportText.find("W32.Quorvin has not been found on your computer.\n"), std::string::npos);
        EXPECT_FALSE(testsupport::FileExists(dir + "\\quoted.log"));
        EXPECT_EQ(testsupport::FileExists(tempLog), silent);
    }
    EXPECT_NE(testsupport::ReadText(tempLog).find("\r\nWARNING: the log file could not be created: \"" + dir + "\\quoted.log\"\r\n"),
              std::string::npos);
}

TEST_F(InProcessRun, SecondStartWhileRunningDoesNothing) {
    run.runInProgress = true;
    EXPECT_EQ(RunRemoval(run, progress), RunEnd::AlreadyRunning);
    EXPECT_FALSE(testsupport::FileExists(run.options.logPath));
}

// The boot mode the system reports (SM_CLEANBOOT), and an own process
// whose token cannot be looked at: no administrator.
int WINAPI SafeModeWithNetwork(int) { return 2; }
int WINAPI SafeMode(int) { return 1; }
HANDLE WINAPI NoProcessAccess(DWORD, BOOL, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

TEST_F(InProcessRun, BootModeNotAllowedStopsBeforeTheLog) {
    def.requiredBootMode = 0;
    {
        testsupport::ScopedBinding safe(dyn_GetSystemMetrics, SafeMode);
        RunRemoval(run, progress);
    }
    EXPECT_FALSE(testsupport::FileExists(run.options.logPath));
    EXPECT_FALSE(run.runInProgress);

    def.requiredBootMode = 1;            // safe mode with network passes a "safe" requirement
    testsupport::ScopedBinding safeWithNetwork(dyn_GetSystemMetrics, SafeModeWithNetwork);
    RunRemoval(run, progress);
    EXPECT_TRUE(testsupport::FileExists(run.options.logPath));
}

// A system function this Windows lacks and nothing replaces: the process
// phase asks for it first.
BOOL WINAPI MissingGetVersionEx(LPOSVERSIONINFOA) { throw new _dynamic_dll_exception{"GetVersionExA"}; }

TEST_F(InProcessRun, MissingSystemFunctionEndsTheCleaningWithItsNameAndAReport) {
    const auto bound = dyn_GetVersionExA.slot;
    dyn_GetVersionExA.slot = MissingGetVersionEx;
    EXPECT_EQ(RunRemoval(run, progress), RunEnd::Finished);
    dyn_GetVersionExA.slot = bound;
    EXPECT_TRUE(run.flags.runStopped);
    EXPECT_EQ(Log(), "\r\n"
                     "\r\nThe removal was stopped: the system function GetVersionExA could not be found.\r\n\r\n"
                     "W32.Quorvin has not been found on your computer, but the scan\r\n"
                     "was cancelled before it finished. The threat may still be present on the machine.\r\n"
                     "\r\nThe tool was executed in silent mode.\r\n\r\n"
                     "\r\nNo files were scanned by the tool...\r\n");
}

// LookupPrivilegeValueA missing for one privilege name: the rights check's,
// the registry pass's or the restart's.
const char* g_missingFor = "";
BOOL WINAPI LookupMissingFor(LPCSTR system, LPCSTR name, PLUID luid) {
    if (std::strcmp(name, g_missingFor) == 0) throw new _dynamic_dll_exception{"LookupPrivilegeValueA"};
    return LookupPrivilegeValueA(system, name, luid);
}
const std::string kStopLine =
    "The removal was stopped: the system function LookupPrivilegeValueA could not be found.";

// Missing in the rights check or in the restart, a function ends no program:
// the line that names it goes into the log and the report.
std::string ScheduleDeletion(const std::string& dir) {
    std::string file = dir + "\\pending.tmp";
    testsupport::WriteBytes(file, {1, 2, 3});
    MoveFileExA(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return file;
}

// Wine carries out the pending file operations when a restart is asked for,
// a little later: a test that asks waits for them, so they cannot take the
// next test's files.
void WaitForRestartWork(const std::string& pending) {
    for (int i = 0; i < 100 && testsupport::FileExists(pending); ++i) Sleep(100);
}

TEST_F(InProcessRun, MissingFunctionInTheRightsCheckOrTheRestartIsReported) {
    const auto bound = dyn_LookupPrivilegeValueA.slot;
    dyn_LookupPrivilegeValueA.slot = LookupMissingFor;
    g_missingFor = "SeDebugPrivilege";
    EXPECT_EQ(RunRemoval(run, progress), RunEnd::Finished);
    EXPECT_EQ(Log(), "\r\n\r\n" + kStopLine + "\r\n\r\n"
                     "W32.Quorvin has not been found on your computer, but the scan\r\n"
                     "was cancelled before it finished. The threat may still be present on the machine.\r\n"
                     "\r\nThe tool was executed in silent mode.\r\n\r\n"
                     "\r\nNo files were scanned by the tool...\r\n");
    EXPECT_EQ(run.log.reportText.find(kStopLine + "\n"), 0u) << run.log.reportText;

    RemovalRun restart(def);
    restart.options = run.options;
    restart.flags.rebootNeeded = true;
    g_missingFor = "SeShutdownPrivilege";
    const std::string pending = ScheduleDeletion(dir);
    EXPECT_EQ(RunRemoval(restart, progress), RunEnd::Finished);
    dyn_LookupPrivilegeValueA.slot = bound;
    WaitForRestartWork(pending);
    EXPECT_FALSE(testsupport::FileExists(pending));   // the restart was asked for all the same
    EXPECT_NE(Log().find("\r\nThe tool initiated a system reboot.\r\n\r\n\r\n" + kStopLine + "\r\n\r\n"),
              std::string::npos)
        << Log();
}

// A stop after the threat was found is no success: here the registry pass
// stops on its restore privilege after a listed file was deleted.
TEST_F(InProcessRun, StopAfterAFindIsUnsuccessful) {
    const std::string threatFile = dir + "\\QVSTOP.DLL";
    ASSERT_TRUE(testsupport::WriteBytes(threatFile, {'M', 'Z'}));
    const char* files[] = {threatFile.c_str(), nullptr};
    def.threatFileList = files;
    run.options.noFileScan = false;
    run.options.onlyDirPath = dir;
    const auto bound = dyn_LookupPrivilegeValueA.slot;
    dyn_LookupPrivilegeValueA.slot = LookupMissingFor;
    g_missingFor = "SeRestorePrivilege";
    EXPECT_EQ(RunRemoval(run, progress), RunEnd::Finished);
    dyn_LookupPrivilegeValueA.slot = bound;
    EXPECT_NE(Log().find("QVSTOP.DLL: (deleted)\r\n\r\n\r\n" + kStopLine +
                         "\r\n\r\nThe W32.Quorvin removal was unsuccessful.\r\n"),
              std::string::npos)
        << Log();
    EXPECT_EQ(run.log.reportText.find(kStopLine + "\nThe W32.Quorvin removal was unsuccessful.\n"), 0u)
        << run.log.reportText;
}

TEST_F(InProcessRun, MissingRightsReportOnlyTheTwoLines) {
    {
        testsupport::ScopedBinding noRights(dyn_OpenProcess, NoProcessAccess);
        RunRemoval(run, progress);
    }
    // The test program has no version resource: the title line is empty.
    EXPECT_EQ(Log(), "\r\n"
                         "You do not have Administrator rights to run the tool.\r\n"
                         "Please contact your Network Administrator for more information.\r\n"
                         "\r\nThe tool was executed in silent mode.\r\n\r\n"
                         "\r\nNo files were scanned by the tool...\r\n");
    EXPECT_EQ(run.log.reportText,
              "You do not have Administrator rights to run the tool.\n"
              "Please contact your Network Administrator for more information.\n");
}

TEST_F(InProcessRun, RealAdministratorPassesUnderWine) {
    IdentifyPlatform(run.flags);   // off the NT family the privilege calls do nothing
    ASSERT_TRUE(run.flags.isNtFamily);
    int admin = 0;
    EXPECT_EQ(IsUserAdministrator(&admin), 0u);
    EXPECT_EQ(admin, 1);
    EXPECT_EQ(IsUserAdministrator(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(EnableDebugPrivilege(run.flags.isNtFamily));
    EXPECT_EQ(CheckAdministratorRights(run.flags.isNtFamily), Rights::Administrator);
    // A privilege the token does not hold is no failure of the calls (the
    // adjustment reports success and changes nothing); a name the system
    // does not know is.
    EXPECT_TRUE(EnablePrivilegeNamed(run.flags.isNtFamily, "SeCreateTokenPrivilege"));
    EXPECT_FALSE(EnablePrivilegeNamed(run.flags.isNtFamily, "SeNoSuchPrivilege"));
}

// An administrator whose token lacks the debug privilege, as a policy that
// withholds "Debug programs" leaves it, is not refused: the log says once
// that the privilege is not held, and the run cleans as always.
TEST(SilentRun, AdministratorWithoutTheDebugPrivilegeIsNotRefused) {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string threatFile = std::string(temp) + "VCAB.DLL";
    ASSERT_TRUE(testsupport::WriteBytes(threatFile, samples::MakeThreatFile({})));
    const std::string dir = testsupport::NewWorkDir("nodebug");
    testsupport::ProcessResult r = testsupport::Run("\"" + testsupport::BinDir() + "\\drop_privilege.exe\" SeDebugPrivilege \"" + Program() +
                                      "\" /S /NOSILENTREBOOT /ONLYDIR=" + dir,
                                  dir, 600000);
    ASSERT_TRUE(r.finished);
    ASSERT_NE(r.exitCode, 4u) << "the launcher could not take the privilege away";
    EXPECT_EQ(r.exitCode, 0u);
    const std::string log = testsupport::ReadText(dir + "\\fixquorvin.log");
    EXPECT_EQ(log.find("Administrator rights"), std::string::npos) << log;
    EXPECT_EQ(testsupport::Count(log, "WARNING: the debug privilege is not held; processes of other users may not be "
                             "stopped\r\n"),
              1u)
        << log;
    EXPECT_EQ(testsupport::Count(log, "VCAB.DLL: (deleted)\r\n"), 1u) << log;
    EXPECT_NE(log.find("W32.Quorvin has been successfully removed from your computer!\r\n"), std::string::npos);
    EXPECT_FALSE(testsupport::FileExists(threatFile));
}

TEST_F(InProcessRun, SilentRebootIsDeclinedWithNoSilentReboot) {
    std::string pending = ScheduleDeletion(dir);
    run.flags.rebootNeeded = true;
    run.options.noSilentReboot = true;
    RunRemoval(run, progress);
    std::string log = Log();
    EXPECT_NE(log.find("\r\nThe tool was executed in silent mode.\r\n\r\n"
                       "\r\nNo files were scanned by the tool...\r\n"
                       "\r\nThe system requires a reboot but was not rebooted.\r\n"
                       "To clean up all remnants of the threat from the system it must be rebooted.\r\n\r\n"),
              std::string::npos);
    EXPECT_TRUE(testsupport::FileExists(pending));
    MoveFileExA(pending.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);   // leave no doubt for the next test
}

TEST_F(InProcessRun, SilentRebootIsRequested) {
    std::string pending = ScheduleDeletion(dir);
    run.flags.rebootNeeded = true;
    RunRemoval(run, progress);
    std::string log = Log();
    EXPECT_NE(log.find("\r\nThe tool initiated a system reboot.\r\n\r\n"), std::string::npos);
    EXPECT_EQ(log.find("not rebooted"), std::string::npos);
    WaitForRestartWork(pending);
    EXPECT_FALSE(testsupport::FileExists(pending));
}

}  // namespace
