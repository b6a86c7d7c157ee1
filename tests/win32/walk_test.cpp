// The file walk under Wine: exact counts over generated trees, /ONLYDIR=,
// /MAPPED, exclusions, the 9x path limits, attributes, non-ASCII names and the
// real-time protection pause around the walk. The prefix has a second fixed
// drive D: and a network drive R: (walk_test.prefix.sh).
//
// The NT family's 32767-character limit cannot be reached with real files on
// the Linux file system; the host tests of the path rules cover it, and the
// NT-family warning lines are reached here with a lowered maxPathChars.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/TrevaskDlg.h"
#include "app/environment.h"
#include "run/log.h"
#include "scan/protection.h"
#include "run/run_state.h"
#include "run/threat_definition.h"
#include "run/api_table.h"
#include "scan/walk.h"
#include "support/run_setup.h"
#include "support/support.h"

namespace {

const char kTooLong[] = ": (WARNING: not scanned, path too long)";
const char kProtectionKey[] = "SOFTWARE\\Ostrovel\\InstalledApps";

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c -= 32;
    return s;
}

bool MakeFileW(const std::wstring& path, size_t bytes = 16) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    std::vector<char> data(bytes, 'q');
    DWORD put = 0;
    if (bytes) WriteFile(f, data.data(), static_cast<DWORD>(bytes), &put, nullptr);
    CloseHandle(f);
    return true;
}
bool MakeFile(const std::string& path, size_t bytes = 16) { return MakeFileW(testsupport::Wide(path), bytes); }

// depth levels of `dirs` folders, each folder with `files` files; returns the
// number of files made.
int MakeTree(const std::string& root, int depth, int dirs, int files) {
    CreateDirectoryA(root.c_str(), nullptr);
    int made = 0;
    for (int f = 0; f < files; ++f) made += MakeFile(root + "\\file" + std::to_string(f) + ".dat");
    if (depth > 0)
        for (int d = 0; d < dirs; ++d) made += MakeTree(root + "\\dir" + std::to_string(d), depth - 1, dirs, files);
    return made;
}

// Files below a folder, counted with the plain system calls.
int CountFiles(const std::wstring& dir) {
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do {
        if (!wcscmp(e.cFileName, L".") || !wcscmp(e.cFileName, L"..")) continue;
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) n += CountFiles(dir + L"\\" + e.cFileName);
        else ++n;
    } while (FindNextFileW(h, &e));
    FindClose(h);
    return n;
}

// The registered folder of the protection library, set up and taken down.
class ProtectionInstall {
public:
    // Copies the stand-in `dll` as ZEMRA32.DLL into a fresh folder and
    // registers the folder under the given values (both platform families').
    explicit ProtectionInstall(const std::string& dll, std::initializer_list<const char*> values = {"ZEMNT", "ZEM95"}) {
        folder = testsupport::NewWorkDir("zem");
        CopyFileA((testsupport::BinDir() + "\\" + dll).c_str(), (folder + "\\ZEMRA32.DLL").c_str(), FALSE);
        HKEY k;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProtectionKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) ==
            ERROR_SUCCESS) {
            for (const char* name : values)
                RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                               static_cast<DWORD>(folder.size() + 1));
            RegCloseKey(k);
        }
    }
    ~ProtectionInstall() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProtectionKey); }
    std::string Calls() const { return testsupport::ReadText(folder + "\\calls.txt"); }
    std::string folder;
};

// The walk run in this process, as the removal run sets it up (NT family).
class Walk : public ::testing::Test {
protected:
    void SetUp() override {
        run.options = DefaultRunOptions(*run.def);
        ASSERT_TRUE(testsupport::PrepareNtWalk(run));
    }

    // Parses a command line with the program's parser into the dialog's options.
    void Options(const std::string& switches) {
        std::string line = "FixQuorvin.exe " + switches;
        std::vector<char> text(line.begin(), line.end());
        text.push_back('\0');
        run.options = DefaultRunOptions(*run.def);
        ParseCommandLine(text.data(), run.options, *run.def);
        run.options.silentMode = true;  // the walk stays silent, as set up
    }
    int Run() {
        run.stats = RemovalStats{};
        run.flags.cancelRequested = false;
        return ScanDrives(run, progress);
    }

    RemovalRun run;
    testsupport::PumpingProgress progress;
    testsupport::LogCapture sink{run.log};
};

TEST_F(Walk, OnlyDirCountsEveryFileOnce) {
    std::string root = testsupport::NewWorkDir("tree");
    int files = MakeTree(root, 3, 3, 4);   // 4 * (1 + 3 + 9 + 27) = 160
    ASSERT_EQ(files, 160);
    CreateDirectoryA((root + "\\empty").c_str(), nullptr);
    // Something on the network drive and on D:, which /ONLYDIR= leaves alone.
    ASSERT_TRUE(MakeFile("R:\\mapped.dat"));
    ASSERT_TRUE(MakeFile("D:\\second.dat"));

    Options("/ONLYDIR=" + root);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, 160u);
    Options("/ONLYDIR=" + root + " /MAPPED");
    EXPECT_TRUE(run.options.scanMappedDrives);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, 160u);
    // A trailing backslash names the same tree.
    Options("/ONLYDIR=" + root + "\\");
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, 160u);
    EXPECT_EQ(sink.text, "");   // clean files leave no line
    DeleteFileA("R:\\mapped.dat");
    DeleteFileA("D:\\second.dat");
}

TEST_F(Walk, ExclusionsSkipTreesAndPrefixSiblingsNotFiles) {
    std::string root = testsupport::NewWorkDir("excl");
    int kept = 0;
    MakeTree(root + "\\skip", 1, 2, 2);       // excluded
    MakeTree(root + "\\skipped", 0, 0, 3);    // sibling sharing the prefix: skipped too
    CreateDirectoryA((root + "\\other").c_str(), nullptr);
    MakeTree(root + "\\other\\deep", 1, 1, 2);   // second exclusion
    MakeTree(root + "\\other\\deeper", 0, 0, 1); // its prefix sibling
    kept += MakeTree(root + "\\other\\keep", 0, 0, 4);
    kept += MakeTree(root + "\\keep", 1, 2, 1);
    kept += MakeFile(root + "\\skip.txt");      // files are never compared
    kept += MakeFile(root + "\\other\\deep.dat");
    ASSERT_EQ(kept, 4 + 3 + 2);

    Options("/ONLYDIR=" + root + " /EXCLUDE=" + root + "\\skip /EXCLUDE=\"" + root + "\\other\\deep\"");
    ASSERT_EQ(run.options.exclusionList.size(), 2u);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, static_cast<uint32_t>(kept));
    // Without the switches everything is scanned.
    Options("/ONLYDIR=" + root);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, static_cast<uint32_t>(CountFiles(testsupport::Wide(root))));
    EXPECT_EQ(sink.text, "");
}

TEST_F(Walk, FullScanWalksFixedDrivesAndNetworkOnRequest) {
    ASSERT_EQ(GetDriveTypeA("D:\\"), static_cast<UINT>(DRIVE_FIXED));
    ASSERT_EQ(GetDriveTypeA("R:\\"), static_cast<UINT>(DRIVE_REMOTE));
    int onD = MakeTree("D:\\data", 1, 2, 3);
    int onR = MakeTree("R:\\share", 1, 1, 2);
    int onC = CountFiles(L"C:");
    ASSERT_GT(onC, 100);

    Options("");
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, static_cast<uint32_t>(onC + onD));
    Options("/MAPPED");
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, static_cast<uint32_t>(onC + onD + onR));
    // An exclusion of a whole drive.
    Options("/MAPPED /EXCLUDE=C:");
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, static_cast<uint32_t>(onD + onR));
}

TEST_F(Walk, GuardedAttributesAreRestored) {
    std::string root = testsupport::NewWorkDir("attrs");
    const DWORD kinds[] = {FILE_ATTRIBUTE_READONLY,
                           FILE_ATTRIBUTE_HIDDEN,
                           FILE_ATTRIBUTE_SYSTEM,
                           FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
                           FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE,
                           FILE_ATTRIBUTE_ARCHIVE};
    std::vector<std::pair<std::string, DWORD>> files;
    int i = 0;
    for (DWORD a : kinds) {
        std::string path = root + "\\f" + std::to_string(i++) + ".exe";
        ASSERT_TRUE(MakeFile(path));
        SetFileAttributesA(path.c_str(), a);
        DWORD got = GetFileAttributesA(path.c_str());
        // Keep only what this file system can store.
        if ((got & (a | FILE_ATTRIBUTE_NORMAL)) != got && got != a) continue;
        files.emplace_back(path, got);
    }
    ASSERT_FALSE(files.empty());
    Options("/ONLYDIR=" + root);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, 6u);
    for (auto& [path, before] : files) EXPECT_EQ(GetFileAttributesA(path.c_str()), before) << path;
    for (auto& f : files) SetFileAttributesA(f.first.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Walk, NonAsciiNamesAreScannedAndLoggedInTheCodePage) {
    std::wstring root = testsupport::Wide(testsupport::NewWorkDir("intl"));
    std::wstring dir = root + L"\\caf\u00E9 \u00DCber";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    const std::wstring names[] = {L"\u00E9t\u00E9.txt", L"\u03A9mega.dat", L"\u65E5\u672C.exe", L"plain.txt"};
    for (const std::wstring& n : names) ASSERT_TRUE(MakeFileW(dir + L"\\" + n));

    std::string onlyDir = Upper(testsupport::Ansi(root));
    Options("/ONLYDIR=" + onlyDir);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, 4u);
    EXPECT_EQ(sink.text, "");

    // The warning lines of the NT family, reached with a lowered limit: the
    // log holds the system code page's form of the wide names.
    std::wstring shownDir = testsupport::Wide(onlyDir) + dir.substr(root.size());
    // The folder itself: L + 4 above the limit.
    run.flags.maxPathChars = static_cast<uint32_t>(4 + shownDir.size() + 3);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, 0u);
    EXPECT_EQ(sink.text, testsupport::Ansi(shownDir) + kTooLong + "\r\n");
    // Its entries: the first one met ends the folder.
    sink.text.clear();
    run.flags.maxPathChars = static_cast<uint32_t>(4 + shownDir.size() + 4);
    EXPECT_EQ(Run(), 1);
    // "." and ".." still fit; the first longer name met ends the folder.
    std::wstring firstLong;
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((dir + L"\\*.*").c_str(), &e);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    do {
        if (wcslen(e.cFileName) > 3) {
            firstLong = e.cFileName;
            break;
        }
    } while (FindNextFileW(h, &e));
    FindClose(h);
    EXPECT_EQ(run.stats.filesScanned, 0u);
    EXPECT_EQ(sink.text, testsupport::Ansi(shownDir) + "\\" + testsupport::Ansi(firstLong) + kTooLong + "\r\n");
}

// Records, with every call of the stand-in library, the files scanned so far.
const RemovalRun* g_probedRun = nullptr;
long WINAPI FilesScannedProbe() { return g_probedRun ? static_cast<long>(g_probedRun->stats.filesScanned) : -1; }

class Pause : public Walk {
protected:
    // The test holds the library too, to hand it the probe.
    void Probe(const ProtectionInstall& install) {
        library = LoadLibraryA((install.folder + "\\ZEMRA32.DLL").c_str());
        ASSERT_NE(library, nullptr);
        auto set = reinterpret_cast<void(WINAPI*)(long(WINAPI*)())>(GetProcAddress(library, "SetProbe"));
        ASSERT_NE(set, nullptr);
        g_probedRun = &run;
        set(FilesScannedProbe);
    }
    void TearDown() override {
        if (library) FreeLibrary(library);
        g_probedRun = nullptr;
        Walk::TearDown();
    }
    HMODULE library = nullptr;
};

TEST_F(Pause, PausedBeforeTheFirstFileResumedAfterTheLast) {
    std::string root = testsupport::NewWorkDir("paused");
    int files = MakeTree(root, 2, 2, 3);
    ProtectionInstall install("ZEMRA32.dll");
    Probe(install);
    Options("/ONLYDIR=" + root);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, static_cast<uint32_t>(files));
    std::string calls = install.Calls();
    std::string expected = "pause 0\r\nresume " + std::to_string(files) + "\r\n";
    ASSERT_GE(calls.size(), expected.size()) << calls;
    EXPECT_EQ(calls.substr(calls.size() - expected.size()), expected) << calls;
}

// A window whose messages count down and then cancel the run, as the cancel
// confirmation does when it reaches the walk through its message pump.
testsupport::PumpingProgress* g_cancelled = nullptr;
LRESULT CALLBACK CountdownProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_APP) {
        if (wParam == 0 && g_cancelled) g_cancelled->cancel = true;
        else PostMessageA(hwnd, WM_APP, wParam - 1, 0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

TEST_F(Pause, CancelledWalkStopsAtOnceAndStillResumes) {
    std::string root = testsupport::NewWorkDir("cancel");
    CreateDirectoryA(root.c_str(), nullptr);
    for (int i = 0; i < 30; ++i) MakeFile(root + "\\f" + std::to_string(i));
    ProtectionInstall install("ZEMRA32.dll");
    Probe(install);

    WNDCLASSA wc = {};
    wc.lpfnWndProc = CountdownProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "QuorvinCountdown";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("QuorvinCountdown", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    // One message taken per entry, "." and ".." included: the 7th entry's
    // message cancels, and no entry after it is visited.
    PostMessageA(window, WM_APP, 6, 0);
    int files = 0, entries = 0;
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((root + "\\*.*").c_str(), &e);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    do {
        if (strcmp(e.cFileName, ".") && strcmp(e.cFileName, "..")) ++files;
    } while (++entries < 7 && FindNextFileA(h, &e));
    FindClose(h);

    Options("/ONLYDIR=" + root);
    run.stats = RemovalStats{};
    g_cancelled = &progress;
    EXPECT_FALSE(ScanDrives(run, progress));
    g_cancelled = nullptr;
    EXPECT_NE(sink.text.find("\r\nThe scanning procedure was cancelled.\r\n\r\n"), std::string::npos) << sink.text;
    EXPECT_EQ(run.stats.filesScanned, static_cast<uint32_t>(files));
    std::string calls = install.Calls();
    EXPECT_NE(calls.find("pause 0\r\nresume " + std::to_string(files) + "\r\n"), std::string::npos) << calls;
    DestroyWindow(window);
}

TEST_F(Pause, LibraryWithoutBothEntryPointsIsNotUsed) {
    ProtectionInstall install("ZEMRA32_half.dll");
    RealtimeProtectionControl control(true);
    UINT outer = SetErrorMode(0);
    EXPECT_EQ(control.LoadProtectionLibrary(), 0);
    EXPECT_EQ(SetErrorMode(outer), 0u);   // the critical-error setting is put back after the load
    EXPECT_FALSE(control.LibraryInUse());
    control.PauseRealtimeProtection();   // falls through to the (absent) driver
    control.ResumeRealtimeProtection();
    std::string root = testsupport::NewWorkDir("half");
    int files = MakeTree(root, 1, 1, 2);
    Options("/ONLYDIR=" + root);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(run.stats.filesScanned, static_cast<uint32_t>(files));
    // Loaded (with critical-error boxes off) and let go, never called.
    EXPECT_EQ(install.Calls(), "load errormode=1\r\nload errormode=1\r\n");
}

TEST_F(Pause, NoProtectionInstalledChangesNothing) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProtectionKey);
    UINT before = SetErrorMode(0);
    SetErrorMode(before);
    RealtimeProtectionControl control(true);
    EXPECT_EQ(control.LoadProtectionLibrary(), 0);
    // No driver under Wine: the request fails with a system error.
    EXPECT_NE(SendDeviceRequest(true, "ZEMRA", 0x222AF3), 0xF000u);
    EXPECT_EQ(SendDeviceRequest(true, "", 0x222AF3), 0xF007u);
    EXPECT_EQ(SendDeviceRequest(true, "\\\\.\\ZEMRA", 0x222AF3), 0xF003u);
    UINT mode = SetErrorMode(0);
    SetErrorMode(mode);
    EXPECT_EQ(mode, before);   // left as it was
}

// The removal program itself, silent, over a tree: the report's count and the
// protection library's calls.
TEST(SilentRun, ReportCountsTheTreeAndProtectionIsPausedAround) {
    std::string root = testsupport::NewWorkDir("run");
    int files = MakeTree(root, 2, 3, 3);
    // A file beyond 260 characters: the program's NT walk takes long paths.
    std::wstring deep = testsupport::LongPath(root) + L"\\" + std::wstring(200, L'd');
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    ASSERT_TRUE(MakeFileW(deep + L"\\" + std::wstring(100, L'f')));
    ++files;
    std::string log = testsupport::NewWorkDir("runlog") + "\\walk.log";
    // A threat file for the deletion step, so that the report shows its counters.
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    ASSERT_TRUE(MakeFile(std::string(temp) + "VCAB.DLL"));
    ProtectionInstall install("ZEMRA32.dll", {"ZEMNT"});   // the NT family's own value

    testsupport::ProcessResult r = testsupport::Run("\"" + testsupport::BinDir() + "\\FixQuorvin.exe\" /S /MAPPED /ONLYDIR=" + root + " /LOG=" + log,
                                  root, 300000);
    ASSERT_TRUE(r.finished);
    std::string text = testsupport::ReadText(log);
    EXPECT_NE(text.find("\r\nThe total number of the scanned files: " + std::to_string(files) + "\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(install.Calls(), "load errormode=1\r\npause\r\nresume\r\n");
}

// The ANSI set on 9x, through a copy of the walk probe that Wine reports as
// Windows 98.
class Win98 : public ::testing::Test {
protected:
    static std::string Probe(const std::string& args, std::string* logText) {
        std::string exe = testsupport::CopyProgramAs("walk_probe.exe", "walk98.exe");
        testsupport::SetWineVersionFor("walk98.exe", "win98");
        std::string log = testsupport::NewWorkDir("log98") + "\\walk.log";
        testsupport::ProcessResult r = testsupport::Run("\"" + exe + "\" /LOG=" + log + " " + args, "", 120000, true);
        if (logText) *logText = testsupport::ReadText(log);
        return r.output;
    }
};

TEST_F(Win98, DirectoryOf257CharactersIsReportedOnceAndNotEntered) {
    std::string root = Upper(testsupport::NewWorkDir("w98a"));
    std::string deep = root + "\\" + std::string(257 - root.size() - 1, 'D');
    ASSERT_EQ(deep.size(), 257u);
    ASSERT_TRUE(CreateDirectoryW((testsupport::LongPath(deep)).c_str(), nullptr));
    ASSERT_TRUE(MakeFileW(testsupport::LongPath(deep) + L"\\X"));
    std::string shallow = root + "\\" + std::string(256 - root.size() - 1, 'S');   // 256 + 4 fits
    ASSERT_TRUE(CreateDirectoryW((testsupport::LongPath(shallow)).c_str(), nullptr));
    ASSERT_TRUE(MakeFile(root + "\\A.TXT"));
    std::string exact = root + "\\" + std::string(260 - root.size() - 1, 'E');   // a file of 260 is scanned
    ASSERT_TRUE(MakeFileW(testsupport::LongPath(exact)));

    std::string log;
    std::string out = Probe("/ONLYDIR=" + root, &log);
    EXPECT_NE(out.find("platform=9x scanned=2 result=1"), std::string::npos) << out;
    EXPECT_EQ(log, deep + kTooLong + "\r\n");
}

TEST_F(Win98, NameOverTheLimitEndsItsDirectory) {
    std::string root = Upper(testsupport::NewWorkDir("w98b"));
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(MakeFile(root + "\\F" + std::to_string(i) + ".TXT"));
    std::string longName = std::string(260 - root.size(), 'L');   // root + "\" + name = 261
    ASSERT_TRUE(MakeFileW(testsupport::LongPath(root + "\\" + longName)));
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(MakeFile(root + "\\G" + std::to_string(i) + ".TXT"));

    // The order the file system returns: the files before the long name count.
    int before = -1, index = 0;
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((root + "\\*.*").c_str(), &e);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    do {
        if (!strcmp(e.cFileName, ".") || !strcmp(e.cFileName, "..")) continue;
        if (longName == e.cFileName) before = index;
        ++index;
    } while (FindNextFileA(h, &e));
    FindClose(h);
    ASSERT_GE(before, 0);

    std::string log;
    std::string out = Probe("/ONLYDIR=" + root, &log);
    EXPECT_NE(out.find("platform=9x scanned=" + std::to_string(before) + " result=1"), std::string::npos)
        << out << " (long name at " << before << ")";
    EXPECT_EQ(log, root + "\\" + longName + kTooLong + "\r\n");
}

}  // namespace
