// Deletion of threat files and directories, now and at the next restart:
// delayed moves on the NT family, WININIT.INI on 9x.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "app/environment.h"
#include "run/run_context.h"
#include "scan/delete.h"
#include "support/support.h"

namespace {

const char kNotRebooted[] =
    "\r\nThe system requires a reboot but was not rebooted.\r\n"
    "To clean up all remnants of the threat from the system it must be rebooted.\r\n";

std::string ShortName(const std::string& path) {
    char out[MAX_PATH] = {};
    GetShortPathNameA(path.c_str(), out, MAX_PATH);
    return out;
}

// A restart the program asked for runs on its own: wait until no wineboot is left.
bool WaitForRestartToSettle(DWORD timeoutMs) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(100)) {
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snap == INVALID_HANDLE_VALUE) return false;
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        bool running = false;
        for (BOOL ok = Process32First(snap, &entry); ok; ok = Process32Next(snap, &entry))
            if (lstrcmpiA(entry.szExeFile, "wineboot.exe") == 0) running = true;
        CloseHandle(snap);
        if (!running) return true;
    }
    return false;
}

// The deletion functions called in this process, on either string kind.
class InProcessDelete : public ::testing::Test {
protected:
    void SetUp() override {
        def = BuiltInDefinition();
        run.def = &def;
        dir = testsupport::NewWorkDir("delete");
    }
    // A fresh run state on the given platform family.
    void Platform(bool nt) {
        run.stats = RemovalStats{};
        run.failedDeletes.RemoveAll();
        run.flags = RunFlags{};
        run.flags.isNtFamily = nt;
        run.flags.isWin9xFamily = !nt;
        run.flags.maxPathChars = nt ? kMaxPathCharsNt : kMaxPathChars9x;
        ASSERT_EQ(LoadApiTable(run.api, run.flags), 1);
    }
    std::string MakeFile(const std::string& name, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
        std::string path = dir + "\\" + name;
        testsupport::WriteBytes(path, {'M', 'Z', 0});
        SetFileAttributesA(path.c_str(), attributes);
        return path;
    }

    RemovalRun run;
    testsupport::LogCapture log{run.log};
    ThreatDefinition def{};
    std::string dir;
};

TEST_F(InProcessDelete, FileOutcomesOnTheNtFamily) {
    Platform(true);
    std::string readOnly = MakeFile("ro.dll", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(DeleteFileLogged(run, testsupport::LongPath(readOnly).c_str(), true), DeleteOutcome::Deleted);
    EXPECT_FALSE(testsupport::FileExists(readOnly));
    EXPECT_EQ(log.text, readOnly + ": (deleted)\r\n");
    EXPECT_EQ(run.stats.filesDeleted, 1u);

    // A file that does not exist: no line, no count.
    log.text.clear();
    EXPECT_EQ(DeleteFileLogged(run, testsupport::LongPath(readOnly).c_str(), true), DeleteOutcome::NotDeleted);
    EXPECT_EQ(DeleteFileLogged(run, testsupport::LongPath(dir + "\\nodir\\x.dll").c_str(), true), DeleteOutcome::NotDeleted);
    EXPECT_EQ(log.text, "");

    std::string plain = MakeFile("plain.dll");
    EXPECT_EQ(DeleteFileLogged(run, testsupport::Wide(plain).c_str(), true), DeleteOutcome::NotDeleted);
    EXPECT_TRUE(testsupport::FileExists(plain));
    EXPECT_EQ(DeleteFileLogged(run, (testsupport::Wide(dir) + L"\\\\?\\x.dll").c_str(), true), DeleteOutcome::NotDeleted);
    EXPECT_EQ(log.text, plain + ": (WARNING: not deleted, prefix not found)\r\nDelete failed\r\n");

    // Without logging only the result tells.
    log.text.clear();
    EXPECT_EQ(DeleteFileLogged(run, testsupport::LongPath(plain).c_str(), false), DeleteOutcome::Deleted);
    EXPECT_FALSE(testsupport::FileExists(plain));
    EXPECT_EQ(log.text, "");
    EXPECT_EQ(run.stats.filesDeleted, 1u);
    EXPECT_EQ(run.stats.deleteFailed + run.stats.deletesPendingReboot, 0u);
}

TEST_F(InProcessDelete, FileOutcomesOn9x) {
    Platform(false);
    std::string readOnly = MakeFile("ro.dll", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(DeleteFileLogged(run, readOnly.c_str(), true), DeleteOutcome::Deleted);
    EXPECT_FALSE(testsupport::FileExists(readOnly));
    std::string tooLong = dir + "\\" + std::string(260, 'x');
    EXPECT_EQ(DeleteFileLogged(run, tooLong.c_str(), true), DeleteOutcome::NotDeleted);
    EXPECT_EQ(log.text, readOnly + ": (deleted)\r\nDelete failed\r\n");
    EXPECT_EQ(run.stats.filesDeleted, 1u);
}

// A stand-in for the table's MoveFileEx that cannot schedule anything.
BOOL WINAPI RefusingMoveFileEx(const wchar_t*, const wchar_t*, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(InProcessDelete, LockedFileIsListedThenScheduledAndGoneAfterRestart) {
    Platform(true);
    std::string file = MakeFile("VCAB.DLL");
    testsupport::FileHolder locker;
    ASSERT_TRUE(locker.Lock(file));

    WStrList& failed = run.failedDeletes;
    EXPECT_EQ(DeleteListedFile(run, testsupport::LongPath(file).c_str(), true), false);
    ASSERT_EQ(failed.GetCount(), 1u);
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(failed.GetAt(failed.FindIndex(0)))), testsupport::LongPath(file));
    EXPECT_EQ(log.text, "");
    EXPECT_FALSE(run.flags.rebootNeeded);

    // Scheduled without logging: nothing counted, no restart asked for.
    EXPECT_EQ(DeleteFileLogged(run, testsupport::LongPath(file).c_str(), false), DeleteOutcome::PendingRestart);
    EXPECT_FALSE(run.flags.rebootNeeded);
    EXPECT_EQ(run.stats.deletesPendingReboot, 0u);

    EXPECT_EQ(DeleteFileLogged(run, testsupport::LongPath(file).c_str(), true), DeleteOutcome::PendingRestart);
    EXPECT_EQ(log.text, file + ": (will be deleted on next reboot)\r\n");
    EXPECT_EQ(run.stats.deletesPendingReboot, 1u);
    EXPECT_EQ(run.stats.deleteFailed, 0u);
    EXPECT_TRUE(run.flags.rebootNeeded);

    // Neither deleted nor scheduled: the warning, and the failure counted.
    log.text.clear();
    run.api.wide.MoveFileEx = RefusingMoveFileEx;
    EXPECT_EQ(DeleteFileLogged(run, testsupport::LongPath(file).c_str(), true), DeleteOutcome::NotDeleted);
    EXPECT_EQ(log.text, file + ": (WARNING: delete failed)\r\n");
    EXPECT_EQ(run.stats.deleteFailed, 1u);
    EXPECT_EQ(run.stats.deletesPendingReboot, 1u);
    ASSERT_EQ(LoadApiTable(run.api, run.flags), 1);

    locker.Release();
    EXPECT_TRUE(testsupport::FileExists(file));
    ASSERT_TRUE(testsupport::RestartMachine());
    EXPECT_FALSE(testsupport::FileExists(file));
}

TEST_F(InProcessDelete, FileGoneByTheSecondPassIsCountedOnce) {
    for (bool nt : {true, false}) {
        Platform(nt);
        log.text.clear();
        std::string file = MakeFile(nt ? "VCAB.DLL" : "VCAB9X.DLL");
        testsupport::FileHolder locker;
        ASSERT_TRUE(locker.Lock(file));
        if (nt)
            EXPECT_EQ(DeleteListedFile(run, testsupport::LongPath(file).c_str(), true), false);
        else
            EXPECT_EQ(DeleteListedFile(run, file.c_str(), true), false);
        EXPECT_EQ(run.failedDeletes.GetCount(), 1u);
        locker.Release();
        ASSERT_TRUE(DeleteFileA(file.c_str()));

        RetryFailedDeletes(run);
        EXPECT_EQ(log.text, file + ": (deleted)\r\n") << "nt=" << nt;
        EXPECT_EQ(run.stats.filesDeleted, 1u);
        EXPECT_FALSE(run.flags.rebootNeeded);
    }
}

TEST_F(InProcessDelete, SecondPassDeletesWhatWasReleased) {
    Platform(true);
    std::string file = MakeFile("VCAB.DLL");
    testsupport::FileHolder locker;
    ASSERT_TRUE(locker.Lock(file));
    DeleteListedFile(run, testsupport::LongPath(file).c_str(), true);
    locker.Release();
    RetryFailedDeletes(run);
    EXPECT_FALSE(testsupport::FileExists(file));
    EXPECT_EQ(log.text, file + ": (deleted)\r\n");
    EXPECT_EQ(run.stats.filesDeleted, 1u);
}

// 9x: the [rename] section of WININIT.INI in the Windows directory.
class Wininit9x : public InProcessDelete {
protected:
    void SetUp() override {
        InProcessDelete::SetUp();
        char windows[MAX_PATH] = {};
        GetWindowsDirectoryA(windows, MAX_PATH);
        ini = std::string(windows) + "\\WININIT.INI";
        DeleteFileA(ini.c_str());
        Platform(false);
    }
    void TearDown() override {
        DeleteFileA(ini.c_str());
        WritePrivateProfileStringA(nullptr, nullptr, nullptr, ini.c_str());
        InProcessDelete::TearDown();
    }
    std::string ini;
};

TEST_F(Wininit9x, SectionCreatedWhenMissing) {
    std::string file = MakeFile("VCAB.DLL");
    testsupport::FileHolder locker;
    ASSERT_TRUE(locker.Lock(file));
    EXPECT_EQ(DeleteFileLogged(run, file.c_str(), true), DeleteOutcome::PendingRestart);
    EXPECT_EQ(testsupport::ReadText(ini), "[rename]\r\nNUL=" + ShortName(file) + "\r\n");
    EXPECT_EQ(log.text, file + ": (will be deleted on next reboot)\r\n");
    EXPECT_EQ(run.stats.deletesPendingReboot, 1u);
    EXPECT_TRUE(run.flags.rebootNeeded);
}

TEST_F(Wininit9x, SecondNulLineFollowsTheExistingOne) {
    std::string other = MakeFile("OTHER.DLL");
    std::string text = "[boot]\r\nshell=x\r\n[rename]\r\nNUL=" + ShortName(other) + "\r\nC:\\NEW.TXT=C:\\OLD.TXT\r\n";
    ASSERT_TRUE(testsupport::WriteBytes(ini, std::vector<uint8_t>(text.begin(), text.end())));
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, ini.c_str());   // drop any cached copy

    std::string file = MakeFile("VCAB.DLL");
    testsupport::FileHolder locker;
    ASSERT_TRUE(locker.Lock(file));
    EXPECT_EQ(DeleteFileLogged(run, file.c_str(), true), DeleteOutcome::PendingRestart);
    char section[4096] = {};
    DWORD n = GetPrivateProfileSectionA("rename", section, sizeof section, ini.c_str());
    EXPECT_EQ(std::string(section, n), "NUL=" + ShortName(other) + '\0' + "C:\\NEW.TXT=C:\\OLD.TXT" + '\0' +
                                           "NUL=" + ShortName(file) + '\0');
    std::string after = testsupport::ReadText(ini);
    EXPECT_NE(after.find("[boot]\r\nshell=x\r\n"), std::string::npos);
    EXPECT_LT(after.find("NUL=" + ShortName(other)), after.find("NUL=" + ShortName(file)));
}

// Directory tables of a test definition.
class DirectoryTables : public InProcessDelete {
protected:
    void SetUp() override {
        InProcessDelete::SetUp();
        SetEnvironmentVariableA("QUORVIN_TEST_DIR", dir.c_str());
    }
    void MakeDir(const std::string& relative) { CreateDirectoryA((dir + "\\" + relative).c_str(), nullptr); }
    bool Exists(const std::string& relative) { return testsupport::FileExists(dir + "\\" + relative); }
};

TEST_F(DirectoryTables, EveryOutcomeAndItsCounter) {
    Platform(true);
    MakeDir("tree");
    MakeDir("tree\\sub");
    MakeDir("tree\\sub\\deeper");
    MakeFile("tree\\a.dll", FILE_ATTRIBUTE_READONLY);
    MakeFile("tree\\sub\\deeper\\b.exe", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    MakeDir("emptyonly");
    MakeFile("emptyonly\\keep.txt");
    MakeDir("empty");
    MakeFile("notadir");
    const ThreatDirectory table[] = {
        {"%QUORVIN_TEST_DIR%\\tree", 0},      {"%QUORVIN_TEST_DIR%\\emptyonly", 1},
        {"%QUORVIN_TEST_DIR%\\empty", 1},     {"%QUORVIN_TEST_DIR%\\missing", 0},
        {"%QUORVIN_TEST_DIR%\\notadir", 0},   {"%QUORVIN_UNDEFINED%\\tree", 0},
        {nullptr, 0},
    };
    DeleteThreatDirectories(run, table, nullptr);
    EXPECT_EQ(log.text, "directory " + dir + "\\tree: (deleted)\r\n" +
                            "directory " + dir + "\\emptyonly: (WARNING: not deleted)\r\n" +
                            "directory " + dir + "\\empty: (deleted)\r\n");
    EXPECT_FALSE(Exists("tree"));
    EXPECT_TRUE(Exists("emptyonly\\keep.txt"));
    EXPECT_TRUE(Exists("notadir"));
    EXPECT_EQ(run.stats.directoriesDeleted, 2u);
    EXPECT_EQ(run.stats.directoriesNotDeleted, 1u);
    EXPECT_EQ(run.stats.directoriesPendingReboot, 0u);
    // Files inside are deleted without lines or counts; nothing waits for a restart.
    EXPECT_EQ(run.stats.filesDeleted, 0u);
    EXPECT_FALSE(run.flags.rebootNeeded);
}

TEST_F(DirectoryTables, DirectoryWithLockedFileGoesAtRestart) {
    Platform(true);
    MakeDir("held");
    std::string file = MakeFile("held\\busy.dll");
    MakeFile("held\\free.dll");
    const ThreatDirectory table[] = {{"%QUORVIN_TEST_DIR%\\held", 0}, {nullptr, 0}};
    testsupport::FileHolder locker;
    ASSERT_TRUE(locker.Lock(file));
    DeleteThreatDirectories(run, table, nullptr);
    EXPECT_EQ(log.text, "directory " + dir + "\\held: (will be deleted on next reboot)\r\n");
    EXPECT_EQ(run.stats.directoriesPendingReboot, 1u);
    EXPECT_TRUE(run.flags.rebootNeeded);
    EXPECT_FALSE(Exists("held\\free.dll"));
    locker.Release();
    ASSERT_TRUE(testsupport::RestartMachine());
    EXPECT_FALSE(Exists("held"));
}

TEST_F(DirectoryTables, DetectedFileFolderUnderAListedDirectory) {
    Platform(true);
    MakeDir("App");
    MakeDir("App\\sub");
    MakeFile("App\\sub\\x.exe");
    MakeFile("App\\top.exe");
    MakeDir("Apple");
    MakeFile("Apple\\y.exe");
    const ThreatDirectory third[] = {{"%QUORVIN_TEST_DIR%\\app", 0}, {nullptr, 0}};
    def.directoryTables[2] = third;
    DeleteDetectionDirectories(run, testsupport::LongPath(dir + "\\App\\sub\\x.exe").c_str());
    // A folder whose name merely begins like the listed one is not inside it.
    DeleteDetectionDirectories(run, testsupport::LongPath(dir + "\\Apple\\y.exe").c_str());
    EXPECT_EQ(log.text, "directory " + dir + "\\App\\sub: (deleted)\r\n");
    EXPECT_FALSE(Exists("App\\sub"));
    EXPECT_TRUE(Exists("App\\top.exe"));
    EXPECT_TRUE(Exists("Apple\\y.exe"));
    EXPECT_EQ(run.stats.directoriesDeleted, 1u);
}

TEST_F(DirectoryTables, AnsiPathsOn9x) {
    Platform(false);
    MakeDir("tree9x");
    MakeDir("tree9x\\sub");
    MakeFile("tree9x\\sub\\a.dll", FILE_ATTRIBUTE_READONLY);
    MakeDir("App");
    MakeDir("App\\sub");
    MakeFile("App\\sub\\x.exe");
    const ThreatDirectory table[] = {{"%QUORVIN_TEST_DIR%\\tree9x", 0}, {nullptr, 0}};
    DeleteThreatDirectories(run, table, nullptr);
    const ThreatDirectory third[] = {{"%QUORVIN_TEST_DIR%\\App", 1}, {nullptr, 0}};
    def.directoryTables[2] = third;
    std::string detected = dir + "\\App\\sub\\x.exe";
    DeleteDetectionDirectories(run, detected.c_str());
    EXPECT_EQ(log.text, "directory " + dir + "\\tree9x: (deleted)\r\n" + "directory " + dir +
                            "\\App\\sub: (WARNING: not deleted)\r\n");
    EXPECT_FALSE(Exists("tree9x"));
    EXPECT_TRUE(Exists("App\\sub\\x.exe"));
}

TEST_F(DirectoryTables, EntryThatWouldOverrunThePathLimitStopsTheListing) {
    Platform(false);
    MakeDir("fits");
    MakeDir("over");
    MakeFile("fits\\abcdef.txt");    // 10 characters
    MakeFile("over\\abcdefg.txt");   // 11 characters
    // The limit holds "<dir>\fits\abcdef.txt" exactly, with its terminator in the buffer.
    run.flags.maxPathChars = static_cast<uint32_t>(dir.size() + 5 + 1 + 10);
    const ThreatDirectory table[] = {{"%QUORVIN_TEST_DIR%\\fits", 0}, {"%QUORVIN_TEST_DIR%\\over", 0}, {nullptr, 0}};
    DeleteThreatDirectories(run, table, nullptr);
    EXPECT_EQ(log.text, "directory " + dir + "\\fits: (deleted)\r\n" + "directory " + dir +
                            "\\over: (WARNING: not deleted)\r\n");
    EXPECT_TRUE(Exists("over\\abcdefg.txt"));
}

// The whole program on the threat file of its definition, "%TEMP%\VCAB.DLL".
class ThreatFileRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testsupport::NewWorkDir("run");
        temp = testsupport::NewWorkDir("temp");
        scan = testsupport::NewWorkDir("scan");
        SetEnvironmentVariableA("TEMP", temp.c_str());   // inherited by the program
        vcab = temp + "\\VCAB.DLL";
        testsupport::WriteBytes(vcab, {'M', 'Z', 0x90, 0});
    }
    std::string Run(const std::string& program, const std::string& switches) {
        testsupport::ProcessResult r = testsupport::Run("\"" + program + "\" /S /ONLYDIR=" + scan + " " + switches, dir, 300000);
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0u);
        std::string log = dir + "\\fixquorvin.log";
        const char* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        CopyFileA(log.c_str(), (testsupport::OutDir() + "\\" + test + ".log").c_str(), FALSE);
        return testsupport::ReadText(log);
    }
    std::string Program() { return testsupport::BinDir() + "\\FixQuorvin.exe"; }

    std::string dir, temp, scan, vcab;
};

TEST_F(ThreatFileRun, PresentFileIsDeletedAndReported) {
    SetFileAttributesA(vcab.c_str(), FILE_ATTRIBUTE_READONLY);
    // Without the file step the threat file is left alone.
    std::string skipped = Run(Program(), "/NOFILESCAN");
    EXPECT_TRUE(testsupport::FileExists(vcab));
    EXPECT_EQ(skipped.find(vcab), std::string::npos) << skipped;
    std::string log = Run(Program(), "");
    EXPECT_EQ(testsupport::Count(log, vcab + ": (deleted)\r\n"), 1u) << log;
    EXPECT_NE(log.find("W32.Quorvin has been successfully removed from your computer!"), std::string::npos) << log;
    EXPECT_NE(log.find("The number of deleted threat files: 1\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("reboot"), std::string::npos) << log;
    EXPECT_FALSE(testsupport::FileExists(vcab));
}

TEST_F(ThreatFileRun, LockedFileWaitsForTheRestart) {
    testsupport::FileHolder locker;
    ASSERT_TRUE(locker.Lock(vcab));
    std::string log = Run(Program(), "/NOSILENTREBOOT");
    EXPECT_EQ(testsupport::Count(log, vcab + ": "), 1u) << log;
    // The listed file alone counts the threat as found: the found phase's
    // blank line comes before the second pass schedules the file.
    EXPECT_NE(log.find("\r\n\r\n" + vcab + ": (will be deleted on next reboot)\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("1 file(s) could not be deleted.\r\nThey will be deleted on next reboot.\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("The number of deleted threat files: 0\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(kNotRebooted), std::string::npos) << log;
    locker.Release();
    EXPECT_TRUE(testsupport::FileExists(vcab));
    ASSERT_TRUE(testsupport::RestartMachine());
    EXPECT_FALSE(testsupport::FileExists(vcab));
}

TEST_F(ThreatFileRun, LockedFileRunAsksForTheRestart) {
    testsupport::FileHolder locker;
    ASSERT_TRUE(locker.Lock(vcab));
    std::string log = Run(Program(), "");
    EXPECT_NE(log.find(vcab + ": (will be deleted on next reboot)\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\r\nThe tool initiated a system reboot.\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("not rebooted"), std::string::npos) << log;
    // Under Wine the requested restart ends the session (the locker with it)
    // and carries out the pending deletion while the test lives on.
    ASSERT_TRUE(WaitForRestartToSettle(60000));
    EXPECT_FALSE(testsupport::FileExists(vcab));
}

TEST_F(ThreatFileRun, Win98WritesWininitLinesCarriedOutAtRestart) {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string ini = std::string(windows) + "\\WININIT.INI";
    std::string bak = std::string(windows) + "\\WININIT.BAK";
    DeleteFileA(bak.c_str());
    std::string other = temp + "\\OTHER.DLL";
    ASSERT_TRUE(testsupport::WriteBytes(other, {1})) << GetLastError();
    ASSERT_NE(ShortName(other), "") << GetLastError();
    ASSERT_TRUE(WritePrivateProfileStringA("rename", "NUL", ShortName(other).c_str(), ini.c_str()));
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, ini.c_str());

    std::string program = testsupport::CopyProgramAs("FixQuorvin.exe", "fixq98.exe");
    testsupport::SetWineVersionFor("fixq98.exe", "win98");
    testsupport::FileHolder locker;
    ASSERT_TRUE(locker.Lock(vcab));
    std::string log = Run(program, "/NOSILENTREBOOT");
    EXPECT_NE(log.find(vcab + ": (will be deleted on next reboot)\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(kNotRebooted), std::string::npos) << log;
    std::string text = testsupport::ReadText(ini);
    EXPECT_EQ(text, "[rename]\r\nNUL=" + ShortName(other) + "\r\nNUL=" + ShortName(vcab) + "\r\n");
    locker.Release();

    ASSERT_TRUE(testsupport::RestartMachine());
    EXPECT_FALSE(testsupport::FileExists(vcab));
    EXPECT_FALSE(testsupport::FileExists(other));
    EXPECT_FALSE(testsupport::FileExists(ini));
    EXPECT_TRUE(testsupport::FileExists(bak));
}

}  // namespace
