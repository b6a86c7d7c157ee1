// A dry run over everything a real run would change: the sample set, the
// threat's listed file, its start-up value, a running threat process and a
// threat service. It logs what a real run would do and leaves every byte,
// attribute, value, process and service as it was.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <map>
#include <string>
#include <vector>

#include "app/removal_run.h"
#include "support/repair_support.h"
#include "support/support.h"
#include "tests/samples/sample_set_core.h"
#include "win32/unique_handle.h"

namespace {

using samples::Bytes;
using samples::Expect;

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kServiceName[] = "qvndry";
const char kServiceDisplay[] = "Quorvin Dry";

struct FileState {
    Bytes bytes;
    DWORD attributes = 0;
    bool operator==(const FileState&) const = default;
};

// Every file below dir (recursively) with its bytes and attributes.
void Walk(const std::string& dir, std::map<std::string, FileState>& out) {
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = e.cFileName;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "\\" + name;
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            Walk(path, out);
        else
            out[path] = {testsupport::ReadBytes(path), e.dwFileAttributes};
    } while (FindNextFileA(h, &e));
    FindClose(h);
}

std::map<std::string, FileState> Snapshot(const std::string& dir, const std::string& file) {
    std::map<std::string, FileState> all;
    Walk(dir, all);
    all[file] = {testsupport::ReadBytes(file), GetFileAttributesA(file.c_str())};
    return all;
}

DWORD ServiceState(SC_HANDLE manager) {
    SC_HANDLE s = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (s) QueryServiceStatus(s, &status);
    CloseServiceHandle(s);
    return status.dwCurrentState;
}

class DryRun : public ::testing::Test {
protected:
    void SetUp() override {
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr);
        const std::string exe = testsupport::BinDir() + "\\test_service.exe";
        SC_HANDLE s = CreateServiceA(manager, kServiceName, kServiceDisplay, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                     exe.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(StartServiceA(s, 0, nullptr));
        CloseServiceHandle(s);
        for (int i = 0; i < 600 && ServiceState(manager) != SERVICE_RUNNING; ++i) Sleep(100);
        ASSERT_EQ(ServiceState(manager), static_cast<DWORD>(SERVICE_RUNNING));
    }
    void TearDown() override {
        SC_HANDLE s = OpenServiceA(manager, kServiceName, SERVICE_STOP | DELETE);
        SERVICE_STATUS status;
        if (s) ControlService(s, SERVICE_CONTROL_STOP, &status), DeleteService(s), CloseServiceHandle(s);
        CloseServiceHandle(manager);
    }
    SC_HANDLE manager = nullptr;
};

TEST_F(DryRun, LogsWhatARealRunWouldDoAndChangesNothing) {
    // The sample set, one infected file read-only.
    const std::string dir = testsupport::NewWorkDir("dry-samples");
    const Bytes hello = testsupport::ReadBytes(testsupport::BinDir() + "\\hello.exe");
    const Bytes real = testsupport::ReadBytes("C:\\windows\\system32\\hostname.exe");
    ASSERT_FALSE(hello.empty() || real.empty());
    samples::SampleSet set = samples::BuildSampleSet(hello, "hello", real, "hostname.exe");
    ASSERT_TRUE(set.error.empty()) << set.error;
    for (const char* const* sub = samples::kSampleSetFolders; *sub; ++sub)
        CreateDirectoryA((dir + "\\" + *sub).c_str(), nullptr);
    unsigned repairs = 0, failed = 0, deleted = 0, infections = 0;
    for (samples::SetSample& s : set.samples) {
        for (char& c : s.name)
            if (c == '/') c = '\\';
        ASSERT_TRUE(testsupport::WriteBytes(dir + "\\" + s.name, s.image)) << s.name;
        if (s.expect == Expect::Repaired) repairs += s.layers;
        if (s.expect != Expect::Clean) infections += s.layers;
        failed += s.expect == Expect::Failed;
        deleted += s.expect == Expect::Deleted;
    }
    ASSERT_GT(repairs * failed * deleted, 0u);
    SetFileAttributesA((dir + "\\hello-one.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    // The listed threat file, the start-up value, a threat process.
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string vcab = std::string(temp) + "VCAB.DLL";
    ASSERT_TRUE(testsupport::WriteBytes(vcab, samples::MakeThreatFile({})));
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, "Runonce", "C:\\windows\\temp\\vcab.exe"));
    testsupport::Process host;
    const std::string ready = "quorvin-dry-" + std::to_string(GetCurrentProcessId());
    win32::UniqueKernelHandle readyEvent(CreateEventA(nullptr, TRUE, FALSE, ready.c_str()));
    ASSERT_TRUE(host.Start("\"" + testsupport::CopyProgramAs("threat_host.exe", "qvthreat.exe") + "\" " + ready));
    ASSERT_EQ(WaitForSingleObject(readyEvent.get(), 60000), WAIT_OBJECT_0);

    const std::map<std::string, FileState> before = Snapshot(dir, vcab);

    // The test definition: a threat process by name and the service.
    const char* names[] = {"QVTHREAT.EXE", nullptr};
    const ThreatServiceRule rules[] = {{1 | 2, true, kServiceName, false, nullptr}};
    ThreatDefinition def = BuiltInDefinition();
    def.threatProcessNames = names;
    def.threatServiceTable = rules;
    RemovalRun run(def);
    run.options.silentMode = run.options.dryRun = true;
    run.options.onlyDirPath = dir;
    run.options.logPath = testsupport::NewWorkDir("dry-log") + "\\run.log";
    RunProgress progress;
    ASSERT_EQ(RunRemoval(run, progress), RunEnd::Finished);
    const std::string log = testsupport::ReadText(run.options.logPath);
    testsupport::WriteBytes(testsupport::OutDir() + "\\dry-run.log", Bytes(log.begin(), log.end()));

    // Nothing changed: files and their attributes, no file added, the value,
    // the process running and not suspended, the service running.
    EXPECT_TRUE(Snapshot(dir, vcab) == before);
    DWORD type = 0;
    std::vector<uint8_t> value;
    EXPECT_TRUE(testsupport::GetRegValue(HKEY_LOCAL_MACHINE, kRunKey, "Runonce", type, value));
    EXPECT_EQ(std::string(value.begin(), value.end()), std::string("C:\\windows\\temp\\vcab.exe", 25));
    EXPECT_EQ(host.Wait(0), 0xFFFFFFFFu) << "the threat process was ended";
    const std::vector<DWORD> counts = testsupport::SuspendCounts(host.Id());
    EXPECT_FALSE(counts.empty());
    for (DWORD count : counts) EXPECT_EQ(count, 0u) << "a thread of the threat process was left suspended";
    EXPECT_EQ(ServiceState(manager), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(run.flags.rebootNeeded);

    // The log: every find in its dry-run form, no line of a change made.
    for (const samples::SetSample& s : set.samples) {
        const char* outcome = s.expect == Expect::Repaired  ? "would be repaired"
                              : s.expect == Expect::Failed  ? "repair would fail, the file is corrupted"
                              : s.expect == Expect::Deleted ? "would be deleted" : "";
        EXPECT_EQ(testsupport::Count(log, dir + "\\" + s.name + ": (dry run) " + outcome + "\r\n"),
                  s.expect == Expect::Clean ? 0u : s.expect == Expect::Repaired ? s.layers : 1u) << s.name;
    }
    EXPECT_EQ(testsupport::Count(log, ": infected with "), infections);
    EXPECT_EQ(testsupport::Count(log, "VCAB.DLL: (dry run) would be deleted\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, "\r\nprocess: qvthreat.exe (dry run) would be terminated\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, "\r\nservice: Quorvin Dry (dry run) would be stopped\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, "\r\nservice: Quorvin Dry (dry run) would be deleted\r\n"), 1u) << log;
    EXPECT_EQ(testsupport::Count(log, "\\CurrentVersion\\Run: Runonce (dry run) would be deleted\r\n"), 1u) << log;
    for (const char* made : {"(deleted)", "File repaired.", "(terminated)", "(suspended)", "(stopped)",
                             "Repair failed", "reboot"})
        EXPECT_EQ(log.find(made), std::string::npos) << made;
    EXPECT_EQ(rt::ReportNumber(log, "(would be) repaired: "), static_cast<long>(repairs));
    EXPECT_EQ(rt::ReportNumber(log, "(would be) not repaired, the file is corrupted: "), static_cast<long>(failed));
    EXPECT_EQ(rt::ReportNumber(log, "(would be) deleted threat files: "), static_cast<long>(deleted + 1));
    EXPECT_EQ(rt::ReportNumber(log, "(would be) fixed registry entries: "), 1);
    EXPECT_TRUE(log.ends_with("\r\nThe tool was executed in silent mode.\r\n\r\n\r\nDry run: nothing was changed.\r\n"));
    // A real run would leave the corrupted files: not all cleaned.
    EXPECT_EQ(run.exitCode, ExitCode::NotAllCleaned);

    host.Kill();
    DeleteFileA(vcab.c_str());
}

// Without the file scan the processes, services and registry are still looked at.
// Without the file scan the services and the registry are still looked at.
TEST_F(DryRun, WithoutTheFileScan) {
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, "Runonce", "x"));
    const ThreatServiceRule rules[] = {{1 | 2, true, kServiceName, false, nullptr}};
    ThreatDefinition def = BuiltInDefinition();
    def.threatServiceTable = rules;
    RemovalRun run(def);
    run.options.silentMode = run.options.dryRun = run.options.noFileScan = true;
    run.options.logPath = testsupport::NewWorkDir("dry-nofiles") + "\\run.log";
    RunProgress progress;
    RunRemoval(run, progress);
    const std::string log = testsupport::ReadText(run.options.logPath);
    EXPECT_NE(log.find("service: Quorvin Dry (dry run) would be stopped\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Run: Runonce (dry run) would be deleted\r\n"), std::string::npos) << log;
    EXPECT_TRUE(testsupport::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, "Runonce"));
    EXPECT_EQ(ServiceState(manager), static_cast<DWORD>(SERVICE_RUNNING));
}

}  // namespace
