// Detection and repair through FixQuorvin.exe under Wine: a full scan of the
// fresh machine finds nothing among its real programs; a tree of factory
// samples gives one line per sample with its name, the right counters, files
// that are their hosts again and run again; a host held by another process is
// replaced at the restart.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/environment.h"
#include "run/run_context.h"
#include "support/repair_support.h"
#include "tests/samples/sample_set_core.h"
#include "support/run_setup.h"
#include "run/api_table.h"
#include "scan/walk.h"

namespace {

using rt::Bytes;

std::string Program() { return testsupport::BinDir() + "\\FixQuorvin.exe"; }

// The folder as the log shows it: the command line parser upper-cases /ONLYDIR=.
std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c -= 32;
    return s;
}

// Runs the program silently (its log in a folder of its own) and returns the log.
std::string RunTool(const std::string& switches, const std::string& program = Program()) {
    std::string dir = testsupport::NewWorkDir("run");
    testsupport::ProcessResult r = testsupport::Run("\"" + program + "\" /S " + switches, dir, 600000);
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0u);
    return testsupport::ReadText(dir + "\\fixquorvin.log");
}

bool IsPeFile(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    uint8_t head[64] = {};
    DWORD got = 0;
    bool pe = false;
    if (ReadFile(f, head, sizeof head, &got, nullptr) && got == sizeof head && head[0] == 'M' && head[1] == 'Z') {
        DWORD at = head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 | static_cast<DWORD>(head[0x3F]) << 24;
        uint8_t sig[4] = {};
        if (SetFilePointer(f, at, nullptr, FILE_BEGIN) == at && ReadFile(f, sig, 4, &got, nullptr) && got == 4)
            pe = sig[0] == 'P' && sig[1] == 'E' && sig[2] == 0 && sig[3] == 0;
    }
    CloseHandle(f);
    return pe;
}

void CountFiles(const std::wstring& dir, unsigned& files, unsigned& pe) {
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((dir + L"\\*.*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = e.cFileName;
        if (name == L"." || name == L"..") continue;
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CountFiles(dir + L"\\" + name, files, pe);
        } else {
            ++files;
            if (IsPeFile(dir + L"\\" + name)) ++pe;
        }
    } while (FindNextFileW(h, &e));
    FindClose(h);
}

TEST(FullScan, FreshMachineHasNoInfectionAmongItsPrograms) {
    unsigned files = 0, pe = 0;
    CountFiles(L"\\\\?\\C:", files, pe);
    ASSERT_GT(pe, 300u);

    std::string log = RunTool("");
    EXPECT_EQ(testsupport::Count(log, "infected with"), 0u) << log;
    EXPECT_NE(log.find("W32.Quorvin has not been found on your computer."), std::string::npos) << log;

    // The same walk in this process, for its counters.
    RemovalRun run;
    RunProgress progress;
    run.options = DefaultRunOptions(*run.def);
    ASSERT_TRUE(testsupport::PrepareNtWalk(run));
    EXPECT_TRUE(ScanDrives(run, progress));
    EXPECT_EQ(run.stats.infections, 0u);
    EXPECT_EQ(run.detectedFiles.GetCount(), 0u);
    // The tool's log was added since the count.
    EXPECT_GE(run.stats.filesScanned, files);
    EXPECT_LE(run.stats.filesScanned, files + 2);

    char line[160];
    std::snprintf(line, sizeof line, "files on C: %u, PE files %u, scanned %u, infections %u\n", files, pe,
                  run.stats.filesScanned, run.stats.infections);
    std::printf("%s", line);
    testsupport::WriteBytes(testsupport::OutDir() + "\\full-scan.txt", Bytes(line, line + std::strlen(line)));
}

using samples::Expect;

class SampleTree : public ::testing::Test {
protected:
    void SetUp() override { dir = testsupport::NewWorkDir("samples"); }
    std::string dir;
};

TEST_F(SampleTree, EverySampleOnceWithItsNameAndHostsRestored) {
    const Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    ASSERT_FALSE(hello.empty());
    // A real program of the machine, copied, infected and repaired.
    const std::string realName = "hostname.exe";
    const Bytes real = testsupport::ReadBytes("C:\\windows\\system32\\" + realName);
    ASSERT_FALSE(real.empty());

    // The set the native scanner is held to as well, with Windows separators.
    samples::SampleSet set = samples::BuildSampleSet(hello, "hello", real, realName);
    ASSERT_TRUE(set.error.empty()) << set.error;
    std::vector<samples::SetSample>& all = set.samples;
    for (samples::SetSample& s : all)
        for (char& c : s.name)
            if (c == '/') c = '\\';

    for (const char* const* sub = samples::kSampleSetFolders; *sub; ++sub)
        CreateDirectoryA((dir + "\\" + *sub).c_str(), nullptr);
    unsigned infections = 0, repairs = 0, failed = 0, deleted = 0;
    for (const samples::SetSample& s : all) {
        ASSERT_TRUE(testsupport::WriteBytes(dir + "\\" + s.name, s.image)) << s.name;
        if (s.expect != Expect::Clean) infections += s.layers;
        if (s.expect == Expect::Repaired) repairs += s.layers;
        failed += s.expect == Expect::Failed;
        deleted += s.expect == Expect::Deleted;
    }
    // A read-only infected file keeps its attribute.
    SetFileAttributesA((dir + "\\hello-one.exe").c_str(), FILE_ATTRIBUTE_READONLY);

    std::string log = RunTool("/NOSILENTREBOOT /ONLYDIR=" + dir);
    const std::string shown = Upper(dir);
    for (const samples::SetSample& s : all) {
        std::string path = shown + "\\" + s.name;
        size_t lines = testsupport::Count(log, path + ": infected with ");
        if (s.expect == Expect::Clean) {
            EXPECT_EQ(lines, 0u) << s.name;
            EXPECT_EQ(testsupport::ReadBytes(dir + "\\" + s.name), s.image) << s.name;
            continue;
        }
        EXPECT_EQ(lines, static_cast<size_t>(s.layers)) << s.name;
        EXPECT_EQ(testsupport::Count(log, path + ": infected with " + s.detection + "\r\n"),
                  static_cast<size_t>(s.layers))
            << s.name;
        switch (s.expect) {
        case Expect::Repaired: {
            EXPECT_EQ(testsupport::Count(log, path + ": File repaired.\r\n"), static_cast<size_t>(s.layers)) << s.name;
            Bytes after = testsupport::ReadBytes(dir + "\\" + s.name);
            EXPECT_EQ(rt::Values(after), rt::Values(s.host)) << s.name;
            EXPECT_TRUE(after == s.repaired) << s.name;
            break;
        }
        case Expect::Failed:
            EXPECT_EQ(testsupport::Count(log, path + ": ERROR! Repair failed, the file is corrupted, please replace it from a "
                                            "backup copy.\r\n"),
                      1u);
            EXPECT_EQ(testsupport::ReadBytes(dir + "\\" + s.name), s.image) << s.name;
            break;
        case Expect::Deleted:
            EXPECT_EQ(testsupport::Count(log, path + ": (deleted)\r\n"), 1u) << s.name;
            EXPECT_FALSE(testsupport::FileExists(dir + "\\" + s.name)) << s.name;
            break;
        default:
            break;
        }
    }
    EXPECT_EQ(testsupport::Count(log, "infected with"), infections);
    EXPECT_EQ(rt::ReportNumber(log, "The number of infections: "), static_cast<long>(infections)) << log;
    EXPECT_EQ(rt::ReportNumber(log, "The number of repairs: "), static_cast<long>(repairs));
    EXPECT_EQ(rt::ReportNumber(log, "The number of deleted threat files: "), static_cast<long>(deleted));
    EXPECT_NE(log.find(std::to_string(failed) + " file(s) could not be repaired due to corruption during infection."),
              std::string::npos);
    // A file left infected: no success headline, and nothing said of deletions.
    EXPECT_NE(log.find("\r\nThe W32.Quorvin removal was unsuccessful.\r\n"
                       "Please boot into Safe mode and run this tool again.\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("could not delete"), std::string::npos);
    EXPECT_EQ(rt::ReportNumber(log, "The total number of the scanned files: "), static_cast<long>(all.size()));
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
    EXPECT_TRUE(GetFileAttributesA((dir + "\\hello-one.exe").c_str()) & FILE_ATTRIBUTE_READONLY);

    // The repaired programs run as their originals do.
    std::string helloOut = rt::Output(testsupport::BinDir() + "\\hello.exe");
    EXPECT_NE(helloOut.find("fibonacci(30): 832040"), std::string::npos) << helloOut;
    EXPECT_EQ(rt::Output(dir + "\\hello-one.exe"), helloOut);
    EXPECT_EQ(rt::Output(dir + "\\hello-two.exe"), helloOut);
    std::string realOut = rt::Output("C:\\windows\\system32\\" + realName);
    EXPECT_FALSE(realOut.empty());
    EXPECT_EQ(rt::Output(dir + "\\sys\\" + realName), realOut);
    testsupport::WriteBytes(testsupport::OutDir() + "\\sample-tree.log", Bytes(log.begin(), log.end()));
}

// A host held open by another process, through the whole program: pending
// replacement, the restart asked for and declined, then the restart. A second
// infected file, free, is repaired at once.
TEST(HeldHost, ReplacedAtTheRestartAndRunsAgain) {
    std::string dir = testsupport::NewWorkDir("held");
    const Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    samples::InfectedSample s = samples::Infect(hello, {.seed = 600});
    ASSERT_FALSE(s.image.empty()) << s.error;
    std::string path = dir + "\\held.exe";
    ASSERT_TRUE(testsupport::WriteBytes(path, s.image));
    ASSERT_TRUE(testsupport::WriteBytes(dir + "\\free.exe", samples::MakeInfected(hello, {.seed = 601})));

    testsupport::FileHolder holder;
    ASSERT_TRUE(holder.Hold(path));
    std::string log = RunTool("/NOSILENTREBOOT /ONLYDIR=" + dir);
    testsupport::WriteBytes(testsupport::OutDir() + "\\held.log", Bytes(log.begin(), log.end()));
    const std::string shown = Upper(dir) + "\\held.exe";
    EXPECT_EQ(testsupport::Count(log, shown + ": infected with W32.Quorvin!inf\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, shown + ": will be repaired at the next reboot\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, shown + ": File repaired."), 0u) << log;
    EXPECT_NE(log.find("1 file(s) could not be replaced after repair.\r\nThey will be replaced on next reboot."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\r\nThe system requires a reboot but was not rebooted.\r\n"
                       "To clean up all remnants of the threat from the system it must be rebooted.\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(rt::ReportNumber(log, "The number of infections: "), 2);
    EXPECT_EQ(rt::ReportNumber(log, "The number of repairs: "), 1);   // the free file
    // The copy was scanned in the held file's place: held, copy, free.
    EXPECT_EQ(rt::ReportNumber(log, "The total number of the scanned files: "), 3);
    EXPECT_EQ(testsupport::ReadBytes(path), s.image);
    EXPECT_EQ(rt::FixLeftovers(dir), std::vector<std::string>{path + ".fix0000"});

    holder.Release();
    ASSERT_TRUE(testsupport::RestartMachine());
    EXPECT_EQ(testsupport::ReadBytes(path), samples::ExpectedAfterRepair(s.normalizedHost, s.image));
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
    EXPECT_EQ(rt::Output(path), rt::Output(testsupport::BinDir() + "\\hello.exe"));
}

// The only find is a host held open: the run still counts the threat as found
// and the report says what waits for the restart.
TEST(HeldHost, AloneIsReportedAsFound) {
    std::string dir = testsupport::NewWorkDir("held-alone");
    const Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    std::string path = dir + "\\held.exe";
    ASSERT_TRUE(testsupport::WriteBytes(path, samples::MakeInfected(hello, {.seed = 602})));

    testsupport::FileHolder holder;
    ASSERT_TRUE(holder.Hold(path));
    std::string log = RunTool("/NOSILENTREBOOT /ONLYDIR=" + dir);
    holder.Release();
    EXPECT_EQ(log.find("has not been found"), std::string::npos) << log;
    EXPECT_NE(log.find("\r\nW32.Quorvin has been successfully removed from your computer!\r\n\r\n"
                       "Here is the report:\r\n\r\n"
                       "1 file(s) could not be replaced after repair.\r\n"
                       "They will be replaced on next reboot.\r\n\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\r\nThe system requires a reboot but was not rebooted.\r\n"), std::string::npos) << log;
}

std::string ShortName(const std::string& path) {
    char out[MAX_PATH] = {};
    GetShortPathNameA(path.c_str(), out, MAX_PATH);
    return out;
}

// A link back to one of its own ancestors (L:, scan_test.prefix.sh) is not
// followed round again: every file is scanned once and the one infected file
// is found and repaired once; the link to a folder beside the tree leads out
// of the /ONLYDIR= tree and is not followed. The ANSI walk of Windows 98
// keeps to the same.
TEST(Loops, LinkBackToAnAncestorIsWalkedOnce) {
    ASSERT_EQ(GetDriveTypeA("L:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
    ASSERT_TRUE(testsupport::WriteBytes("L:\\loop\\top.dat", Bytes(100, 'x')));
    ASSERT_TRUE(testsupport::WriteBytes("L:\\beside\\side.dat", Bytes(100, 'y')));
    ASSERT_TRUE(testsupport::FileExists("L:\\loop\\a\\b\\up\\a\\b\\up\\top.dat"));   // the loop is there
    ASSERT_TRUE(testsupport::FileExists("L:\\loop\\a\\side\\side.dat"));
    const Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    samples::InfectedSample s = samples::Infect(hello, {.seed = 800});
    ASSERT_FALSE(s.image.empty()) << s.error;
    const std::string prog = "L:\\loop\\a\\b\\prog.exe";

    std::string program98 = testsupport::CopyProgramAs("FixQuorvin.exe", "fixq98.exe");
    testsupport::SetWineVersionFor("fixq98.exe", "win98");
    for (const std::string& program : {Program(), program98}) {
        ASSERT_TRUE(testsupport::WriteBytes(prog, s.image));
        std::string log = RunTool("/ONLYDIR=L:\\loop", program);
        testsupport::WriteBytes(testsupport::OutDir() + "\\loop.log", Bytes(log.begin(), log.end()));
        EXPECT_EQ(log.find("\\UP\\"), std::string::npos) << log;
        EXPECT_EQ(testsupport::Count(log, "infected with"), 1u) << log;
        EXPECT_EQ(testsupport::Count(log, "L:\\LOOP\\a\\b\\prog.exe: File repaired.\r\n"), 1u) << log;
        // top.dat and prog.exe; side.dat lies outside the tree.
        EXPECT_EQ(rt::ReportNumber(log, "The total number of the scanned files: "), 2) << log;
        EXPECT_EQ(testsupport::Count(log, "L:\\LOOP\\a\\side: (WARNING: not scanned, link to outside the /ONLYDIR= folder)\r\n"), 1u)
            << log;
        EXPECT_EQ(testsupport::ReadBytes(prog), samples::ExpectedAfterRepair(s.normalizedHost, s.image));
    }
    EXPECT_EQ(rt::Output(prog), rt::Output(testsupport::BinDir() + "\\hello.exe"));
    EXPECT_EQ(testsupport::ReadBytes("L:\\loop\\top.dat"), Bytes(100, 'x'));
    EXPECT_EQ(testsupport::ReadBytes("L:\\beside\\side.dat"), Bytes(100, 'y'));
    EXPECT_TRUE(rt::FixLeftovers("L:\\loop\\a\\b").empty());
}

// A repair that cannot be written: F: (scan_test.prefix.sh) is a small drive
// of its own, filled up here. The error line, the file as it was, no copy
// left, and the unsuccessful headline without the line about deletions.
TEST(FullDrive, RepairThatCannotBeWrittenIsUnsuccessful) {
    ULARGE_INTEGER total = {};
    if (GetDriveTypeA("F:\\") != DRIVE_REMOVABLE || !GetDiskFreeSpaceExA("F:\\", nullptr, &total, nullptr) ||
        total.QuadPart > (1u << 20))
        GTEST_SKIP() << "no small drive F: here (scan_test.prefix.sh could not mount one)";
    const Bytes infected = samples::MakeInfected(samples::MakeCleanHost({.seed = 810}), {.seed = 811});
    ASSERT_FALSE(infected.empty());
    ASSERT_TRUE(testsupport::WriteBytes("F:\\prog.exe", infected));
    // The rest of the drive in ever smaller pieces, until nothing more fits.
    HANDLE filler = CreateFileA("F:\\filler.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(filler, INVALID_HANDLE_VALUE);
    const std::vector<char> chunk(65536, 'f');
    for (DWORD piece = 65536; piece >= 512; piece /= 8)
        for (DWORD put = 0; WriteFile(filler, chunk.data(), piece, &put, nullptr) && put == piece;) {
        }
    const DWORD filled = GetFileSize(filler, nullptr);
    CloseHandle(filler);
    ULARGE_INTEGER available = {};
    ASSERT_TRUE(GetDiskFreeSpaceExA("F:\\", &available, nullptr, nullptr));
    ASSERT_LT(available.QuadPart, infected.size());

    std::string log = RunTool("/ONLYDIR=F:\\");
    testsupport::WriteBytes(testsupport::OutDir() + "\\full-drive.log", Bytes(log.begin(), log.end()));
    EXPECT_NE(log.find("F:\\prog.exe: infected with W32.Quorvin!inf\r\n"
                       "F:\\prog.exe: ERROR! Repair failed, the file is corrupted, please replace it from a backup "
                       "copy.\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\r\nThe W32.Quorvin removal was unsuccessful.\r\n"
                       "Please boot into Safe mode and run this tool again.\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("could not delete"), std::string::npos) << log;
    EXPECT_EQ(log.find("successfully removed"), std::string::npos) << log;
    EXPECT_NE(log.find("1 file(s) could not be repaired due to corruption during infection.\r\n"), std::string::npos);
    EXPECT_EQ(testsupport::ReadBytes("F:\\prog.exe"), infected);
    EXPECT_EQ(testsupport::ReadBytes("F:\\filler.bin").size(), filled);
    EXPECT_TRUE(rt::FixLeftovers("F:").empty());
}

// Windows 98 (Wine reports win98 to a copy of the program): a free host is
// replaced at once and runs again; one held by another process is replaced
// through a WININIT.INI line at the restart.
TEST(Win98, RepairsReplaceTheHostNowOrAtTheRestart) {
    std::string program98 = testsupport::CopyProgramAs("FixQuorvin.exe", "fixq98.exe");
    testsupport::SetWineVersionFor("fixq98.exe", "win98");
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string ini = std::string(windows) + "\\WININIT.INI";
    DeleteFileA(ini.c_str());

    std::string dir = testsupport::NewWorkDir("repair98");
    const Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    samples::InfectedSample free = samples::Infect(hello, {.seed = 820});
    samples::InfectedSample held = samples::Infect(hello, {.seed = 821});
    ASSERT_FALSE(free.image.empty() || held.image.empty());
    const std::string freePath = dir + "\\free.exe", heldPath = dir + "\\held.exe";
    ASSERT_TRUE(testsupport::WriteBytes(freePath, free.image));
    ASSERT_TRUE(testsupport::WriteBytes(heldPath, held.image));
    ASSERT_TRUE(testsupport::WriteBytes(dir + "\\notes.txt", Bytes(200, 'n')));

    testsupport::FileHolder holder;
    ASSERT_TRUE(holder.Hold(heldPath));
    std::string log = RunTool("/NOSILENTREBOOT /ONLYDIR=" + dir, program98);
    testsupport::WriteBytes(testsupport::OutDir() + "\\repair98.log", Bytes(log.begin(), log.end()));
    const std::string shownFree = Upper(dir) + "\\free.exe", shownHeld = Upper(dir) + "\\held.exe";
    EXPECT_EQ(testsupport::Count(log, shownFree + ": infected with W32.Quorvin!inf\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, shownFree + ": File repaired.\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, shownHeld + ": infected with W32.Quorvin!inf\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, shownHeld + ": will be repaired at the next reboot\r\n"), 1u) << log;
    EXPECT_EQ(log.find("ERROR!"), std::string::npos) << log;
    EXPECT_NE(log.find("\r\nW32.Quorvin has been successfully removed from your computer!\r\n"), std::string::npos);
    EXPECT_NE(log.find("1 file(s) could not be replaced after repair.\r\nThey will be replaced on next reboot."),
              std::string::npos);
    EXPECT_EQ(rt::ReportNumber(log, "The number of repairs: "), 1);
    EXPECT_EQ(rt::ReportNumber(log, "The number of infections: "), 2);
    // free, held, the held one's copy in its place, notes.
    EXPECT_EQ(rt::ReportNumber(log, "The total number of the scanned files: "), 4);
    EXPECT_NE(log.find("\r\nThe system requires a reboot but was not rebooted.\r\n"), std::string::npos);
    EXPECT_EQ(testsupport::ReadText(ini), "[rename]\r\n" + ShortName(heldPath) + "=" + ShortName(heldPath + ".fix0000") + "\r\n");
    EXPECT_EQ(testsupport::ReadBytes(freePath), samples::ExpectedAfterRepair(free.normalizedHost, free.image));
    EXPECT_EQ(testsupport::ReadBytes(heldPath), held.image);
    EXPECT_EQ(rt::FixLeftovers(dir), std::vector<std::string>{heldPath + ".fix0000"});
    const std::string helloOut = rt::Output(testsupport::BinDir() + "\\hello.exe");
    EXPECT_EQ(rt::Output(freePath), helloOut);

    holder.Release();
    ASSERT_TRUE(testsupport::RestartMachine());
    EXPECT_EQ(testsupport::ReadBytes(heldPath), samples::ExpectedAfterRepair(held.normalizedHost, held.image));
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
    EXPECT_EQ(rt::Output(heldPath), helloOut);
    EXPECT_EQ(testsupport::ReadBytes(dir + "\\notes.txt"), Bytes(200, 'n'));
    EXPECT_FALSE(testsupport::FileExists(ini));
}

}  // namespace
