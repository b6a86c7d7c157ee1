// Detection and repair of single files under Wine, in this process: the
// layers of a doubly infected file, failed repairs that leave the file as it
// was, the ".fix" names, whole-file threats, a host held by another process
// and replaced at the restart, the paths left to the restart per Windows
// version, the signature cut, unopenable files and images that fault while
// they are read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/environment.h"
#include "run/run_context.h"
#include "support/repair_support.h"
#include "support/replace.h"
#include "support/run_setup.h"
#include "ps/win32/system_functions.h"
#include "scan/delete.h"
#include "scan/detect.h"
#include "platform/fault_guard.h"
#include "scan/repair.h"
#include "scan/walk.h"

namespace {

using rt::Bytes;

const char kRepaired[] = ": File repaired.\r\n";
const char kAttempt[] = ": Attempting to repair the virus\n\r\n";
const char kFailed[] = ": ERROR! Repair failed, the file is corrupted, please replace it from a backup copy.\r\n";
const char kAtReboot[] = ": will be repaired at the next reboot\r\n";

Bytes Host(uint32_t seed, uint32_t sections = 3) {
    samples::HostOptions o;
    o.seed = seed;
    o.sections = sections;
    return samples::MakeCleanHost(o);
}

class Repair : public ::testing::Test {
protected:
    void SetUp() override {
        run.options = DefaultRunOptions(*run.def);
        ASSERT_TRUE(testsupport::PrepareNtWalk(run));
        dir = testsupport::NewWorkDir("repair");
    }
    std::string Put(const std::string& name, const Bytes& bytes) {
        std::string path = dir + "\\" + name;
        EXPECT_TRUE(testsupport::WriteBytes(path, bytes)) << path;
        return path;
    }
    // The walk's per-file scan on one file, with its "\\?\" path.
    void Scan(const std::string& path) {
        std::wstring native = testsupport::LongPath(path);
        DWORD attributes = GetFileAttributesW(native.c_str());
        ScanFile(run, progress, native.data(), attributes);
    }

    RemovalRun run;
    RunProgress progress;
    testsupport::LogCapture sink{run.log};
    std::string dir;
};

TEST_F(Repair, DoublyInfectedFileIsRepairedLayerByLayer) {
    samples::InfectedSample first = samples::Infect(Host(3), {.seed = 5});
    ASSERT_FALSE(first.image.empty()) << first.error;
    samples::InfectOptions o;
    o.seed = 6;
    o.form = samples::BodyForm::TwoLayer;
    Bytes twice = samples::MakeInfected(first.image, o);
    ASSERT_FALSE(twice.empty());
    std::string path = Put("twice.exe", twice);

    Scan(path);
    const std::string line = path + ": infected with W32.Quorvin!inf\r\n";
    EXPECT_EQ(sink.text, line + path + kAttempt + path + kRepaired + line + path + kAttempt + path + kRepaired);
    EXPECT_EQ(run.stats.infections, 2u);
    EXPECT_EQ(run.stats.repairs, 2u);
    EXPECT_EQ(run.stats.repairsFailed, 0u);
    EXPECT_EQ(run.detectedFiles.GetCount(), 2u);   // recorded once per layer
    Bytes after = testsupport::ReadBytes(path);
    EXPECT_EQ(after, samples::ExpectedAfterRepair(first.normalizedHost, twice));
    EXPECT_EQ(rt::Values(after), rt::Values(first.normalizedHost));
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
}

// An infected program padded to gigabytes (the threat's section follows the
// padding, as behind an installer's appended data), written sparse: `pad`
// zero bytes between the host and the threat's section. Returns the bytes
// before the padding, with the section pointers moved past it.
Bytes WritePadded(const std::string& path, const samples::InfectedSample& s, uint64_t pad) {
    Bytes head(s.image.begin(), s.image.begin() + s.sectionStart);
    const uint32_t n = samples::GetU16(head, 0x46);
    for (uint32_t k : {n - 2, n - 1})
        samples::SetSectionField(head, k, samples::kSecPointerToRawData,
                                 static_cast<uint32_t>(samples::GetSectionField(head, k, samples::kSecPointerToRawData) + pad));
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    DWORD put = 0;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(s.sectionStart + pad);
    const bool ok = WriteFile(f, head.data(), static_cast<DWORD>(head.size()), &put, nullptr) &&
                    SetFilePointerEx(f, at, nullptr, FILE_BEGIN) &&
                    WriteFile(f, s.image.data() + s.sectionStart, static_cast<DWORD>(s.image.size() - s.sectionStart),
                              &put, nullptr);
    CloseHandle(f);
    return ok ? head : Bytes{};
}

// `count` bytes of a file at `offset`.
Bytes ReadAtOffset(const std::string& path, uint64_t offset, DWORD count) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    Bytes out(count);
    DWORD got = 0;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (f == INVALID_HANDLE_VALUE || !SetFilePointerEx(f, at, nullptr, FILE_BEGIN) ||
        !ReadFile(f, out.data(), count, &got, nullptr))
        got = 0;
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    out.resize(got);
    return out;
}

uint64_t SizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

// Files too large to map in a 32-bit process are examined through windows
// read from them: at 3 GB detected (the repair's copy of 3 GB is left out: a
// copy of that size is what the 1 GB case already goes through), at 1 GB
// detected and repaired like a small file, the padding kept.
TEST_F(Repair, ProgramsTooLargeToMapAreDetectedAndRepaired) {
    samples::InfectedSample s = samples::Infect(Host(14), {.seed = 14});
    ASSERT_FALSE(s.image.empty()) << s.error;
    const uint64_t kGiB = uint64_t{1} << 30;

    const std::string huge = dir + "\\setup3g.exe";
    ASSERT_FALSE(WritePadded(huge, s, 3 * kGiB).empty());
    ASSERT_GT(SizeOf(huge), 3 * kGiB);
    EXPECT_EQ(OpenAndDetect(run, testsupport::LongPath(huge).c_str()), 1);
    EXPECT_EQ(run.detectedFiles.GetCount(), 1u);
    EXPECT_EQ(sink.text, "");
    DeleteFileA(huge.c_str());

    const std::string path = dir + "\\setup1g.exe";
    const Bytes head = WritePadded(path, s, kGiB);
    ASSERT_FALSE(head.empty());
    Scan(path);
    EXPECT_EQ(sink.text, path + ": infected with W32.Quorvin!inf\r\n" + path + kAttempt + path + kRepaired);
    EXPECT_EQ(run.stats.repairs, 1u);
    // The host and its padding, with the header of the host.
    EXPECT_EQ(SizeOf(path), s.sectionStart + kGiB);
    EXPECT_EQ(ReadAtOffset(path, 0, s.sectionStart), samples::ExpectedAfterRepair(s.normalizedHost, head));
    EXPECT_EQ(ReadAtOffset(path, s.sectionStart + kGiB - 4096, 8192), Bytes(4096, 0));
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
    DeleteFileA(path.c_str());
}

TEST_F(Repair, UnknownSecondLayerOperationFailsAndLeavesTheFileAsItWas) {
    for (int op : {0x00, 0x33, 0x2B}) {
        samples::InfectOptions o;
        o.seed = 40 + op;
        o.form = samples::BodyForm::TwoLayer;
        o.twoLayerOperation = op;
        Bytes infected = samples::MakeInfected(Host(7), o);
        ASSERT_FALSE(infected.empty());
        std::string path = Put("badop" + std::to_string(op) + ".exe", infected);
        sink.text.clear();
        run.stats = RemovalStats{};

        Scan(path);
        EXPECT_EQ(sink.text, path + ": infected with W32.Quorvin!inf\r\n" + path + kAttempt + path + kFailed) << op;
        EXPECT_EQ(run.stats.repairsFailed, 1u);
        EXPECT_EQ(run.stats.repairs, 0u);
        EXPECT_EQ(run.stats.infections, 1u);
        EXPECT_EQ(testsupport::ReadBytes(path), infected) << op;
    }
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
}

TEST_F(Repair, FixNamesInUseAreSkippedAndNeverTaken) {
    samples::InfectedSample s = samples::Infect(Host(9), {.seed = 9});
    ASSERT_FALSE(s.image.empty()) << s.error;
    std::string path = Put("busy.exe", s.image);
    std::vector<Bytes> theirs;
    for (int i = 0; i < 4; ++i) {
        theirs.push_back(Bytes(100 + i, static_cast<uint8_t>('a' + i)));
        Put("busy.exe.fix000" + std::to_string(i), theirs.back());
    }

    // With every name we may try taken, the repair fails and touches nothing.
    run.limits.fixNameLimit = 4;
    Scan(path);
    EXPECT_EQ(testsupport::Count(sink.text, kFailed), 1u);
    EXPECT_EQ(testsupport::Count(sink.text, kAttempt), 0u);   // it never got to the image
    EXPECT_EQ(run.stats.repairsFailed, 1u);
    EXPECT_EQ(testsupport::ReadBytes(path), s.image);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(testsupport::ReadBytes(path + ".fix000" + std::to_string(i)), theirs[i]) << i;

    // With the fifth name free the copy is made there and the file repaired.
    run.limits.fixNameLimit = 0x10000;
    sink.text.clear();
    Scan(path);
    EXPECT_EQ(testsupport::Count(sink.text, kRepaired), 1u);
    EXPECT_EQ(testsupport::ReadBytes(path), samples::ExpectedAfterRepair(s.normalizedHost, s.image));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(testsupport::ReadBytes(path + ".fix000" + std::to_string(i)), theirs[i]) << i;
    EXPECT_EQ(rt::FixLeftovers(dir).size(), 4u);   // only theirs
}

TEST_F(Repair, WholeFileThreatsAreDeletedAfterTheirCopy) {
    std::string threat = Put("vcab.dll", samples::MakeThreatFile({.build = 2}));
    samples::PackedOptions d;
    d.crc = samples::kDropperCrcs[3];
    std::string dropper = Put("setup.exe", samples::MakeDropper(d));
    Scan(threat);
    Scan(dropper);
    EXPECT_EQ(sink.text, threat + ": infected with W32.Quorvin\r\n" + threat + ": (deleted)\r\n" + dropper +
                             ": infected with W32.Quorvin!dr\r\n" + dropper + ": (deleted)\r\n");
    EXPECT_EQ(run.stats.filesDeleted, 2u);
    EXPECT_EQ(run.stats.infections, 2u);
    EXPECT_EQ(run.stats.repairs + run.stats.repairsFailed, 0u);
    EXPECT_FALSE(testsupport::FileExists(threat));
    EXPECT_FALSE(testsupport::FileExists(dropper));

    // Without a copy a threat file is reported as a failed repair and stays.
    Bytes file = samples::MakeThreatFile({});
    threat = Put("nocopy.dll", file);
    sink.text.clear();
    run.limits.fixNameLimit = 0;
    Scan(threat);
    EXPECT_EQ(sink.text, threat + ": infected with W32.Quorvin\r\n" + threat + kFailed);
    EXPECT_EQ(testsupport::ReadBytes(threat), file);
    run.limits.fixNameLimit = 0x10000;

    // A threat file held open is deleted at the restart; its copy is gone now.
    testsupport::FileHolder holder;
    ASSERT_TRUE(holder.Hold(threat));
    sink.text.clear();
    Scan(threat);
    EXPECT_EQ(sink.text,
              threat + ": infected with W32.Quorvin\r\n" + threat + ": (will be deleted on next reboot)\r\n");
    EXPECT_EQ(run.stats.deletesPendingReboot, 1u);
    EXPECT_TRUE(run.flags.rebootNeeded);
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
}

// A host held by another process: the repaired copy waits for the restart and
// stands in for the file until then (scanned, and repaired when it still is
// infected); the restart puts it in place.
TEST_F(Repair, HeldHostIsReplacedAtTheRestart) {
    Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    ASSERT_FALSE(hello.empty());
    samples::InfectedSample first = samples::Infect(hello, {.seed = 77});
    ASSERT_FALSE(first.image.empty()) << first.error;
    Bytes twice = samples::MakeInfected(first.image, {.seed = 78, .form = samples::BodyForm::TwoLayer});
    ASSERT_FALSE(twice.empty());
    std::string path = Put("held.exe", twice);
    std::string copy = path + ".fix0000";

    testsupport::FileHolder holder;
    ASSERT_TRUE(holder.Hold(path));
    Scan(path);
    const std::string line = ": infected with W32.Quorvin!inf\r\n";
    EXPECT_EQ(sink.text, path + line + path + kAttempt + copy + line + copy + kAttempt + copy + kRepaired + path +
                             kAtReboot);
    EXPECT_EQ(run.stats.infections, 2u);
    EXPECT_EQ(run.stats.repairs, 1u);   // the copy's own layer
    EXPECT_EQ(run.stats.repairsPendingReboot, 1u);
    EXPECT_EQ(run.stats.filesScanned, 2u);   // the file and its copy
    EXPECT_TRUE(run.flags.rebootNeeded);
    const Bytes expected = samples::ExpectedAfterRepair(first.normalizedHost, twice);
    EXPECT_EQ(testsupport::ReadBytes(path), twice);   // untouched until the restart
    EXPECT_EQ(testsupport::ReadBytes(copy), expected);
    EXPECT_EQ(rt::FixLeftovers(dir), std::vector<std::string>{copy});

    holder.Release();
    ASSERT_TRUE(testsupport::RestartMachine());
    EXPECT_EQ(testsupport::ReadBytes(path), expected);
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
    EXPECT_EQ(rt::Output(path), rt::Output(testsupport::BinDir() + "\\hello.exe"));
}

// The paths of the moves and deletions left to the restart, recorded by a
// stand-in for the table's MoveFileEx that passes the call on.
std::vector<std::wstring> g_restartMoves;
BOOL WINAPI RecordingMoveFileEx(const wchar_t* from, const wchar_t* to, DWORD flags) {
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) g_restartMoves.push_back(to ? std::wstring(from) + L">" + to : from);
    return MoveFileExW(from, to, flags);
}

// Run in a copy of this program under another Windows version (see below): a
// held threat file and its folder are deleted at the restart, a held host is
// replaced by its repaired copy.
CHILD_TEST_F(Repair, RestartPaths) {
    run.api.wide.MoveFileEx = RecordingMoveFileEx;
    const std::string folder = testsupport::NewWorkDir("delayed");
    const std::string file = folder + "\\held.dll";
    HANDLE held = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DeleteFileLogged(run, testsupport::LongPath(file).c_str(), false), DeleteOutcome::PendingRestart);
    std::wstring target = testsupport::LongPath(folder);
    EXPECT_EQ(DeleteDirectory(run, &target[0], false, true), DeleteOutcome::PendingRestart);
    CloseHandle(held);

    const Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    std::string path = Put("held.exe", samples::MakeInfected(hello, {.seed = 79}));
    testsupport::FileHolder holder;
    ASSERT_TRUE(holder.Hold(path));
    Scan(path);
    holder.Release();
    EXPECT_EQ(run.stats.repairsPendingReboot, 1u);
    for (const std::wstring& m : g_restartMoves) testsupport::PrintValue("moved", m);
    testsupport::PrintValue("folder", testsupport::Wide(folder));
    testsupport::PrintValue("path", testsupport::Wide(path));
}

TEST(RestartPaths, LongPrefixDroppedOnlyOnNt4And2000) {
    const struct { const char* version; std::string prefix; } cases[] = {
        {"nt40", ""}, {"win2k", ""}, {"winxp", "\\\\?\\"}, {"win7", "\\\\?\\"}};
    for (const auto& c : cases) {
        testsupport::ProcessResult r = testsupport::RunChildUnderVersion(std::string("restart_") + c.version + ".exe", c.version,
                                                      "Repair.RestartPaths");
        ASSERT_TRUE(r.finished) << c.version;
        EXPECT_EQ(r.exitCode, 0u) << c.version << r.output;
        const std::string folder = testsupport::OutputValue(r.output, "folder"), path = testsupport::OutputValue(r.output, "path");
        ASSERT_FALSE(folder.empty() || path.empty()) << r.output;
        // The held file alone, then again with its folder's content (deleted
        // without logging), then the folder itself, which keeps the prefix.
        const std::string file = c.prefix + folder + "\\held.dll";
        EXPECT_NE(r.output.find("moved=" + file + "\r\nmoved=" + file + "\r\nmoved=\\\\?\\" + folder + "\r\n"),
                  std::string::npos)
            << c.version << "\n" << r.output;
        EXPECT_NE(r.output.find("moved=" + c.prefix + path + ".fix0000>" + c.prefix + path + "\r\n"),
                  std::string::npos)
            << c.version << "\n" << r.output;
    }
}

TEST_F(Repair, WarningOnlyForUnopenableExeNames) {
    struct { const char* name; bool warned; } cases[] = {
        {"a.exe", true}, {"B.EXE", true}, {"c.eXe", true}, {"d.dll", false},
        {"e.exe.txt", false}, {"fexe", false}, {"g.ex", false},
    };
    std::string expected;
    for (auto& c : cases) {
        std::string path = Put(c.name, samples::MakeThreatFile({}));
        HANDLE lock = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(lock, INVALID_HANDLE_VALUE);
        std::wstring native = testsupport::LongPath(path);
        EXPECT_EQ(OpenAndDetect(run, native.c_str()), 0) << c.name;
        CloseHandle(lock);
        if (c.warned) expected += path + ": WARNING: file cannot be opened for scanning\r\n";
    }
    EXPECT_EQ(sink.text, expected);
    EXPECT_EQ(run.detectedFiles.GetCount(), 0u);
    // Empty files are clean and quiet.
    std::string empty = Put("empty.exe", {});
    EXPECT_EQ(OpenAndDetect(run, testsupport::LongPath(empty).c_str()), 0);
    EXPECT_EQ(sink.text, expected);
}

// The ANSI set of 9x has no move that replaces: the host goes aside, the
// repaired copy takes its name and the aside name is deleted; whole-file
// threats are deleted.
class Repair9x : public Repair {
protected:
    void SetUp() override {
        Repair::SetUp();
        run.flags.isNtFamily = false;
        run.flags.isWin9xFamily = true;
        run.flags.maxPathChars = kMaxPathChars9x;
        run.api = ApiTable{};
        ASSERT_EQ(LoadApiTable(run.api, run.flags), 1);
        ASSERT_EQ(run.api.ansi.MoveFileEx, nullptr);
        ASSERT_NE(run.api.ansi.MoveFile, nullptr);
    }
    void Scan9x(const std::string& path) {
        std::vector<char> buffer(path.begin(), path.end());
        buffer.push_back('\0');
        ScanFile(run, progress, buffer.data(), FILE_ATTRIBUTE_NORMAL);
    }
};

TEST_F(Repair9x, HostIsReplacedAndThreatDeleted) {
    samples::InfectedSample s = samples::Infect(Host(21), {.seed = 21});
    ASSERT_FALSE(s.image.empty()) << s.error;
    std::string host = Put("host9x.exe", s.image);
    std::string threat = Put("threat9x.dll", samples::MakeThreatFile({}));
    Scan9x(host);
    Scan9x(threat);
    EXPECT_EQ(sink.text, host + ": infected with W32.Quorvin!inf\r\n" + host + kAttempt + host + kRepaired + threat +
                             ": infected with W32.Quorvin\r\n" + threat + ": (deleted)\r\n");
    EXPECT_EQ(testsupport::ReadBytes(host), samples::ExpectedAfterRepair(s.normalizedHost, s.image));
    EXPECT_FALSE(testsupport::FileExists(threat));
    EXPECT_EQ(run.stats.repairs, 1u);
    EXPECT_EQ(run.detectedFiles.GetCount(), 2u);
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
}

// A copy that cannot take the host's name: the host is put back as it was,
// the copy goes, and the repair fails.
const char* g_refusedTarget = nullptr;
BOOL WINAPI MoveRefusingTarget(const char* from, const char* to) {
    if (lstrcmpiA(to, g_refusedTarget) == 0 && std::strstr(from, ".fix0000")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return MoveFileA(from, to);
}

TEST_F(Repair9x, CopyThatCannotMoveInPutsTheHostBack) {
    Bytes infected = samples::MakeInfected(Host(22), {.seed = 22});
    std::string host = Put("back9x.exe", infected);
    g_refusedTarget = host.c_str();
    run.api.ansi.MoveFile = MoveRefusingTarget;
    Scan9x(host);
    EXPECT_EQ(sink.text, host + ": infected with W32.Quorvin!inf\r\n" + host + kAttempt + host + kFailed);
    EXPECT_EQ(testsupport::ReadBytes(host), infected);
    EXPECT_EQ(run.stats.repairsFailed, 1u);
    EXPECT_EQ(run.stats.repairs + run.stats.repairsPendingReboot, 0u);
    EXPECT_TRUE(rt::FixLeftovers(dir).empty());
}

// Memory faults while an image is read: the guard turns them into a result.
void ReadReserved(void* arg) {
    volatile const uint8_t* p = static_cast<const uint8_t*>(arg);
    (void)p[0];
}
void NoFault(void* arg) { *static_cast<int*>(arg) = 42; }
void Nested(void* arg) {
    // A fault inside an inner guard stays inside it.
    *static_cast<int*>(arg) = CallCatchingFaults(ReadReserved, VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS))
                                  ? 1
                                  : 2;
}

TEST(FaultGuard, FaultsBecomeResultsAndTheChainSurvives) {
    if (testsupport::CpuEmulated()) GTEST_SKIP() << "page faults are not delivered as access violations on this CPU emulator";
    void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(reserved, nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(CallCatchingFaults(ReadReserved, reserved));
    int value = 0;
    EXPECT_TRUE(CallCatchingFaults(NoFault, &value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(CallCatchingFaults(Nested, &value));
    EXPECT_EQ(value, 2);
    // C++ exceptions still pass through an outer handler of ours.
    bool caught = false;
    try {
        CallCatchingFaults([](void*) { throw 7; }, nullptr);
    } catch (int) {
        caught = true;
    }
    EXPECT_TRUE(caught);
    EXPECT_FALSE(CallCatchingFaults(ReadReserved, reserved));
    VirtualFree(reserved, 0, MEM_RELEASE);
}

// The view vanishing under detection (what a file cut short under its mapping
// does to the pages past its new end): clean, no crash, and the next file is
// scanned normally.
LPVOID(WINAPI* g_mapView)(HANDLE, DWORD, DWORD, DWORD, SIZE_T);
LPVOID WINAPI MapThenUnmap(HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T bytes) {
    LPVOID view = g_mapView(mapping, access, high, low, bytes);
    if (view) UnmapViewOfFile(view);
    return view;
}

TEST_F(Repair, ImageThatFaultsWhileReadIsClean) {
    if (testsupport::CpuEmulated()) GTEST_SKIP() << "page faults are not delivered as access violations on this CPU emulator";
    samples::InfectedSample s = samples::Infect(Host(12), {.seed = 12});
    ASSERT_FALSE(s.image.empty());
    std::string path = Put("vanish.exe", s.image);
    {
        testsupport::ScopedBinding vanishing(dyn_MapViewOfFile, MapThenUnmap);
        g_mapView = vanishing.original();
        EXPECT_EQ(OpenAndDetect(run, testsupport::LongPath(path).c_str()), 0);
    }
    EXPECT_EQ(run.detectedFiles.GetCount(), 0u);
    EXPECT_EQ(OpenAndDetect(run, testsupport::LongPath(path).c_str()), 1);
    EXPECT_EQ(run.detectedFiles.GetCount(), 1u);
}

// The signature cut, with a definition of our own that has a cut table.
uint8_t Enc(char c) { return static_cast<uint8_t>(c + 1); }
std::vector<uint8_t> Encoded(const std::string& s) {
    std::vector<uint8_t> out;
    for (char c : s) out.push_back(Enc(c));
    return out;
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST_F(Repair, SignatureCutReplacesEveryMatchThenDetectionIsSkipped) {
    static const std::vector<uint8_t> first = Encoded("QVX<"), second = Encoded(">END");
    static const std::vector<uint8_t> loop = Encoded("LOOP");
    static const uint8_t replacement[] = {'o', 'k'};
    static const uint8_t again[] = {'L', 'O', 'O', 'P', '!'};
    static CutRepairEntry table[] = {
        {".cut", first.data(), 4, second.data(), 4, replacement, 2},
        {nullptr, loop.data(), 4, nullptr, 0, again, 5},
        {nullptr, nullptr, 0, nullptr, 0, nullptr, 0},
    };
    ThreatDefinition def = BuiltInDefinition();
    def.cutRepairTable = table;
    run.def = &def;

    std::string cut = Put("data.CUT", Text("head QVX<junk>END mid QVX<more>END tail"));
    std::string other = Put("data.txt", Text("head QVX<junk>END tail"));
    Scan(cut);
    Scan(other);
    EXPECT_EQ(testsupport::ReadBytes(cut), Text("head ok mid ok tail"));
    EXPECT_EQ(testsupport::ReadBytes(other), Text("head QVX<junk>END tail"));   // suffix does not apply
    EXPECT_EQ(sink.text, cut + ": (repaired)\r\n");
    EXPECT_EQ(run.stats.repairs, 1u);

    // A cut file is not scanned again, even one that detection would take
    // for the threat.
    Bytes image = samples::MakeThreatFile({.build = 1});
    const Bytes signature = Text(" QVX<x>END");
    image.insert(image.end(), signature.begin(), signature.end());
    std::string threat = Put("threat.cut", image);
    sink.text.clear();
    Scan(threat);
    EXPECT_EQ(sink.text, threat + ": (repaired)\r\n");
    EXPECT_TRUE(testsupport::FileExists(threat));
    EXPECT_EQ(run.stats.infections, 0u);

    // A cut that never runs out stops at the limit: can't repair, deleted.
    std::string endless = Put("endless.bin", Text("xxLOOPyy"));
    sink.text.clear();
    Scan(endless);
    EXPECT_EQ(sink.text, endless + ": (can't repair) (deleted)\r\n");
    EXPECT_FALSE(testsupport::FileExists(endless));
    EXPECT_EQ(run.stats.filesDeleted, 1u);

    // No temporary file to write the result to: can't repair.
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    std::string tempBin = std::string(temp) + "temp.bin";
    ASSERT_TRUE(CreateDirectoryA(tempBin.c_str(), nullptr));
    std::string blocked = Put("blocked.cut", Text("a QVX<b>END c"));
    sink.text.clear();
    Scan(blocked);
    RemoveDirectoryA(tempBin.c_str());
    EXPECT_EQ(sink.text, blocked + ": (can't repair) (deleted)\r\n");
    EXPECT_FALSE(testsupport::FileExists(tempBin));
    EXPECT_EQ(run.stats.infections, 0u);   // detection never ran on cut files
}

}  // namespace
