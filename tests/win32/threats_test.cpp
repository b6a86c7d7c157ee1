// The threat's running code: injected shell processes, threat processes and
// threads by name and signature, real thread starts behind the run-time
// library, termination by image and the shell restart.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/removal_run.h"
#include "run/run_context.h"
#include "procs/shell.h"
#include "procs/terminate.h"
#include "procs/threats.h"
#include "ps/win32/ps_win32.h"
#include "scan/delete.h"
#include "ps/win32/system_functions.h"
#include "support/replace.h"
#include "support/run_setup.h"
#include "support/support.h"
#include "win32/unique_handle.h"

namespace {

const char kNoMemoryReads[] =
    "this Wine cannot read process memory (its server runs under the CPU emulator): no module lists, paths, "
    "stacks or start addresses";

// A threat_host.exe copy that runs until the test ends.
class Host {
public:
    // exe: a full path; options as threat_host takes them.
    bool Start(const std::string& exe, const std::string& options = "") {
        static int counter = 0;
        const std::string name = "quorvin-host-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        m_report = testsupport::NewWorkDir("host") + "\\report.txt";
        win32::UniqueKernelHandle ready(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
        if (!m_process.Start("\"" + exe + "\" " + name + " report=" + m_report + " " + options)) return false;
        return WaitForSingleObject(ready.get(), 60000) == WAIT_OBJECT_0;
    }
    DWORD Id() const { return m_process.Id(); }
    bool Ended() const { return WaitForSingleObject(m_process.Handle(), 0) == WAIT_OBJECT_0; }
    uint32_t Value(const std::string& key) const {
        return std::strtoul(testsupport::OutputValue(testsupport::ReadText(m_report), key).c_str(), nullptr, 16);
    }

private:
    testsupport::Process m_process;
    std::string m_report;
};

// Processes of that image name (started by `parent` unless 0).
std::vector<DWORD> ProcessesNamed(const char* name, DWORD parent = 0) {
    std::vector<DWORD> ids;
    win32::UniqueFile snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32First(snap.get(), &entry); ok; ok = Process32Next(snap.get(), &entry)) {
        const char* slash = std::strrchr(entry.szExeFile, '\\');
        if (lstrcmpiA(slash ? slash + 1 : entry.szExeFile, name) == 0 &&
            (parent == 0 || entry.th32ParentProcessID == parent))
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool EndProcess(DWORD id) {
    win32::UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    return process && TerminateProcess(process.get(), 1) && WaitForSingleObject(process.get(), 10000) == 0;
}


std::string HostCopy(const std::string& name) { return testsupport::CopyProgramAs("threat_host.exe", name); }

// Every status text the run shows.
class RecordingProgress : public RunProgress {
public:
    int SetStatusText(const char* text) override {
        shown.push_back(text);
        return 1;
    }
    std::vector<std::string> shown;
};

// Encoded the way signatures store bytes: value + 1.
SignaturePart Part(uint32_t address, const char (&text)[5], uint32_t readLength) {
    SignaturePart part{address, {}, 4, readLength};
    for (int i = 0; i < 4; ++i) part.pattern[i] = static_cast<uint8_t>(text[i] + 1);
    return part;
}

// ---- Rule 3, through a whole run ---------------------------------------------

TEST(InjectedShell, RunSuspendsShellAndBrowserHoldingTheLibraryOnly) {
    if (!testsupport::ProcessMemoryReadable()) GTEST_SKIP() << kNoMemoryReads;
    const std::string vcab = testsupport::BinDir() + "\\vcab.dll";
    Host browser, shell, clean;
    ASSERT_TRUE(browser.Start(HostCopy("iexplore.exe"), "load=" + vcab));
    ASSERT_TRUE(shell.Start(HostCopy("explorer.exe"), "load=" + vcab));
    const std::string cleanDir = testsupport::NewWorkDir("clean");
    ASSERT_TRUE(CopyFileA((testsupport::BinDir() + "\\threat_host.exe").c_str(), (cleanDir + "\\iexplore.exe").c_str(), FALSE));
    ASSERT_TRUE(clean.Start(cleanDir + "\\iexplore.exe"));

    const std::string dir = testsupport::NewWorkDir("run");
    const std::string logPath = dir + "\\run.log";
    testsupport::ProcessResult r = testsupport::Run("\"" + testsupport::BinDir() + "\\FixQuorvin.exe\" /S /NOFILESCAN /LOG=" + logPath, dir, 300000);
    ASSERT_TRUE(r.finished);

    for (const Host* host : {&browser, &shell}) {
        std::vector<DWORD> counts = testsupport::SuspendCounts(host->Id());
        ASSERT_GE(counts.size(), 4u);   // main, two idle, one plain
        for (DWORD count : counts) EXPECT_GE(count, 1u) << "process " << host->Id();
    }
    for (DWORD count : testsupport::SuspendCounts(clean.Id())) EXPECT_EQ(count, 0u);
    const std::string log = testsupport::ReadText(logPath);
    EXPECT_EQ(log.find("process: "), std::string::npos) << log;
}

// ---- Rules 1 and 2 in this process, with a test definition ---------------------

class ThreatPasses : public ::testing::Test {
protected:
    ThreatDefinition def = BuiltInDefinition();
    RemovalRun run{def};
    testsupport::LogCapture log{run.log};
    RecordingProgress progress;
};

// A termination that fails and leaves the target running, and one that ends
// it but reports failure, so that the suspension after it finds nothing.
// They stand in for the system's TerminateProcess and TerminateThread.
BOOL WINAPI RefuseProcess(HANDLE, UINT) { return FALSE; }
BOOL WINAPI RefuseThread(HANDLE, DWORD) { return FALSE; }
BOOL WINAPI EndProcessButFail(HANDLE process, UINT) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
    return FALSE;
}
BOOL WINAPI EndThreadButFail(HANDLE thread, DWORD) {
    TerminateThread(thread, 1);
    WaitForSingleObject(thread, 10000);
    return FALSE;
}
enum class Termination { Real, Refused, EndedButFailed };

// A process named in the definition, and a thread whose start routine holds
// "QSHT" two bytes in (in process mode that address is absolute and
// unreadable, so the process itself does not match).
TEST_F(ThreatPasses, SuspendedInPassOneEndedInPassTwo) {
    const char* names[] = {"QVTHREAT.EXE", nullptr};
    const char* none[] = {nullptr};
    ProcessSignature atThreadStart{false, {Part(2, "QSHT", 4)}};
    struct Case {
        bool thread;
        Termination termination;
        const char* outcome;
    } cases[] = {
        {false, Termination::Real, "terminated"},
        {false, Termination::Refused, "suspended"},
        {false, Termination::EndedButFailed, "WARNING: can't be manipulated"},
        {true, Termination::Real, "terminated"},
        {true, Termination::Refused, "suspended"},
        {true, Termination::EndedButFailed, "WARNING: can't be manipulated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.thread ? "thread " : "process ") + c.outcome);
        if (c.thread && !testsupport::ProcessMemoryReadable()) GTEST_SKIP() << kNoMemoryReads;
        Host host;
        ASSERT_TRUE(host.Start(HostCopy(c.thread ? "qvthread.exe" : "qvthreat.exe")));
        const uint32_t threadId = host.Value("plainid");
        def.threatProcessNames = c.thread ? none : names;
        def.processSignatures = &atThreadStart;
        def.processSignatureCount = c.thread ? 1 : 0;
        std::optional<testsupport::ScopedBinding<decltype(dyn_TerminateProcess.slot)>> processEnd;
        std::optional<testsupport::ScopedBinding<decltype(dyn_TerminateThread.slot)>> threadEnd;
        if (c.termination == Termination::Refused) {
            processEnd.emplace(dyn_TerminateProcess, RefuseProcess);
            threadEnd.emplace(dyn_TerminateThread, RefuseThread);
        } else if (c.termination == Termination::EndedButFailed) {
            processEnd.emplace(dyn_TerminateProcess, EndProcessButFail);
            threadEnd.emplace(dyn_TerminateThread, EndThreadButFail);
        }
        run.stats = RemovalStats{};
        log.text.clear();

        EXPECT_TRUE(NeutraliseThreatProcesses(run, progress));
        char line[96];
        if (c.thread)
            std::snprintf(line, sizeof line, "process: qvthread.exe, thread: %08X (%s)\r\n", threadId, c.outcome);
        else
            std::snprintf(line, sizeof line, "process: qvthreat.exe (%s)\r\n", c.outcome);
        EXPECT_EQ(log.text, line);
        const bool ended = c.termination == Termination::Real;
        EXPECT_EQ(run.stats.processesTerminated, !c.thread && ended ? 1u : 0u);
        EXPECT_EQ(run.stats.threadsTerminated, c.thread && ended ? 1u : 0u);
        EXPECT_EQ(host.Ended(), !c.thread && c.termination != Termination::Refused);
        if (c.termination == Termination::Refused) {
            // Suspended in both passes: the process's every thread, or that thread only.
            std::vector<DWORD> counts = testsupport::SuspendCounts(host.Id());
            ASSERT_FALSE(counts.empty());
            DWORD twice = 0;
            for (DWORD count : counts) twice += count == 2;
            EXPECT_EQ(twice, c.thread ? 1u : counts.size());
        }
    }
    // A signature for whole processes only is never tried on a thread.
    Host host;
    ASSERT_TRUE(host.Start(HostCopy("qvthread.exe")));
    atThreadStart.processOnly = true;
    log.text.clear();
    EXPECT_TRUE(NeutraliseThreatProcesses(run, progress));
    EXPECT_EQ(log.text, "");
}

TEST_F(ThreatPasses, SignatureInTheMainImage) {
    if (!testsupport::ProcessMemoryReadable()) GTEST_SKIP() << kNoMemoryReads;
    // Offsets from the image base of the marker, stored as two's complement.
    struct Case {
        uint32_t before;   // bytes read before the marker
        const char* pattern;
        uint32_t readLength;
        bool matches;
    } cases[] = {
        {0, "QVIM", 4, true},     // as long as the bytes read: compared at the start
        {16, "QVIM", 32, true},   // shorter: searched in the bytes read
        {0, "QVIM", 2, false},    // longer than the bytes read
        {0, "QVIX", 4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern + std::to_string(c.readLength));
        Host threat;
        ASSERT_TRUE(threat.Start(HostCopy("qvimage.exe")));
        const uint32_t marker = threat.Value("marker");
        ASSERT_GT(marker, c.before);
        char text[5] = {};
        std::memcpy(text, c.pattern, 4);
        ProcessSignature signature{true, {Part(0u - (marker - c.before), text, c.readLength)}};
        def.processSignatures = &signature;
        def.processSignatureCount = 1;
        log.text.clear();
        run.stats = RemovalStats{};
        EXPECT_TRUE(NeutraliseThreatProcesses(run, progress));
        EXPECT_EQ(log.text, c.matches ? "process: qvimage.exe (terminated)\r\n" : "");
        EXPECT_EQ(run.stats.processesTerminated, c.matches ? 1u : 0u);
        EXPECT_EQ(threat.Ended(), c.matches);
    }
}

// A threat process the run cannot end is the threat found, and not removed:
// a whole run whose only find it is reports no success.
TEST_F(ThreatPasses, ThreatProcessLeftSuspendedMakesTheRunUnsuccessful) {
    const char* names[] = {"QVTHREAT.EXE", nullptr};
    Host host;
    ASSERT_TRUE(host.Start(HostCopy("qvthreat.exe")));
    def.threatProcessNames = names;
    testsupport::ScopedBinding refusing(dyn_TerminateProcess, RefuseProcess);
    const std::string dir = testsupport::NewWorkDir("left-suspended");
    run.options = DefaultRunOptions(def);
    run.options.silentMode = run.options.noSilentReboot = run.options.noFileScan = true;
    run.options.logPath = dir + "\\run.log";
    run.log.SetSink(nullptr);
    RunRemoval(run, progress);
    const std::string text = testsupport::ReadText(run.options.logPath);
    EXPECT_EQ(testsupport::Count(text, "process: qvthreat.exe (suspended)\r\n"), 1u) << text;
    EXPECT_EQ(run.log.reportText.find("The W32.Quorvin removal was unsuccessful.\n"), 0u) << run.log.reportText;
    EXPECT_NE(run.log.reportText.find("The number of threat processes terminated: 0\n"), std::string::npos);
    EXPECT_FALSE(host.Ended());
}

TEST_F(ThreatPasses, BuiltInDefinitionShowsEveryProcessAndDoesNothing) {
    Host host;
    ASSERT_TRUE(host.Start(HostCopy("qvplain.exe")));
    ps_owner<ps_process> before(create_process_list(0));
    ASSERT_TRUE(before);
    const size_t count = before->count();

    EXPECT_TRUE(NeutraliseThreatProcesses(run, progress));
    EXPECT_EQ(log.text, "");
    EXPECT_EQ(run.stats.processesTerminated + run.stats.threadsTerminated, 0u);
    EXPECT_EQ(progress.shown.size(), count);
    size_t hostShown = 0;
    for (const std::string& text : progress.shown) {
        EXPECT_EQ(text.rfind("process: ", 0), 0u) << text;
        hostShown += text == "process: qvplain.exe";
    }
    EXPECT_EQ(hostShown, 1u);
    for (DWORD c : testsupport::SuspendCounts(host.Id())) EXPECT_EQ(c, 0u);
}

// ---- The real start behind the run-time library's wrapper ---------------------

TEST(RealThreadStart, ThroughTheRunTimeLibrarysBeginThreadEx) {
    if (!testsupport::ProcessMemoryReadable()) GTEST_SKIP() << kNoMemoryReads;
    Host host;
    ASSERT_TRUE(host.Start(HostCopy("qvcrt.exe"), "crt"));
    const uint32_t routine = host.Value("routine");
    const uint32_t plain = host.Value("plain");
    ps_owner<ps_process> processes(create_process_list(0));
    ASSERT_TRUE(processes);
    while (processes->id() != host.Id()) ASSERT_TRUE(processes->next());
    ps_owner<ps_thread> threads(processes->threads());
    ps_owner<ps_module> modules(processes->modules());
    ASSERT_TRUE(threads && modules);

    int resolved = 0;
    do {
        const uint32_t reported = threads->start_address();
        const uint32_t real = FindRealThreadStart(threads.get(), modules.get());
        if (modules->find_by_address(reported) && std::string(modules->name()).rfind("msvcr", 0) == 0) {
            EXPECT_EQ(real, routine) << std::hex << reported;
            ++resolved;
        } else {
            // Outside the run-time library the reported start stands, and
            // without module list nothing is looked up.
            EXPECT_EQ(real, reported);
        }
        EXPECT_EQ(FindRealThreadStart(threads.get(), nullptr), reported);
        if (real == plain) ++resolved;
    } while (threads->next());
    EXPECT_EQ(resolved, 2);
    EXPECT_EQ(FindRealThreadStart(nullptr, modules.get()), 0u);
}

// ---- Termination by image -----------------------------------------------------

class ImageTermination : public ::testing::Test {
protected:
    RemovalRun run;
    testsupport::LogCapture log{run.log};
};

TEST_F(ImageTermination, EndsEveryProcessWhosePathHoldsTheName) {
    if (!testsupport::ProcessMemoryReadable()) GTEST_SKIP() << kNoMemoryReads;
    Host first, second;
    ASSERT_TRUE(first.Start(HostCopy("qvend.exe")));
    ASSERT_TRUE(second.Start(HostCopy("qvend.exe")));
    const ImageTerminationRecord table[] = {{"nomatch-qv"}, {"\\BIN\\QVEND"}, {nullptr}};

    EXPECT_EQ(TerminateProcessesByImage(run, table), 1);
    EXPECT_EQ(log.text, "process: qvend.exe (terminaed)\r\nprocess: qvend.exe (terminaed)\r\n");
    EXPECT_EQ(run.stats.processesTerminated, 2u);
    EXPECT_TRUE(first.Ended() && second.Ended());
    EXPECT_FALSE(run.imageTermination.done(table[0]));
    EXPECT_TRUE(run.imageTermination.done(table[1]));

    // A record once done is skipped for the rest of the run; another run has
    // flags of its own.
    Host third;
    ASSERT_TRUE(third.Start(HostCopy("qvend.exe")));
    EXPECT_EQ(TerminateProcessesByImage(run, table), -1);
    EXPECT_FALSE(third.Ended());
    RemovalRun next;
    testsupport::LogCapture nextLog{next.log};
    EXPECT_EQ(TerminateProcessesByImage(next, table), 1);
    EXPECT_TRUE(third.Ended());

    const ImageTerminationRecord empty[] = {{nullptr}};
    EXPECT_EQ(TerminateProcessesByImage(run, empty), -1);
    EXPECT_EQ(TerminateProcessesByImage(run, nullptr), -1);
    EXPECT_EQ(run.stats.processesTerminated, 2u);
}

TEST_F(ImageTermination, LockedThreatFileIsDeletedOnceItsHolderIsEnded) {
    if (!testsupport::ProcessMemoryReadable()) GTEST_SKIP() << kNoMemoryReads;
    ASSERT_TRUE(testsupport::PrepareNtWalk(run));
    const ImageTerminationRecord table[] = {{"file_holder.exe"}, {nullptr}};
    ThreatDefinition def = BuiltInDefinition();
    def.imageTerminationTable = table;
    run.def = &def;
    const std::string path = testsupport::NewWorkDir("locked") + "\\vcab.dll";
    testsupport::FileHolder holder;
    ASSERT_TRUE(holder.Lock(path));

    EXPECT_EQ(DeleteFileLogged(run, testsupport::LongPath(path).c_str(), true), DeleteOutcome::Deleted);
    EXPECT_FALSE(testsupport::FileExists(path));
    EXPECT_EQ(log.text, "process: file_holder.exe (terminaed)\r\n" + path + ": (deleted)\r\n");
    EXPECT_TRUE(run.imageTermination.done(table[0]));
}

// ---- The shell restart (9x) ----------------------------------------------------

TEST(ShellRestart, UnderWindows98) {
    testsupport::ProcessResult r = testsupport::RunChildUnderVersion("threats98.exe", "win98", "ShellRestart.*");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    if (r.output.find("[  SKIPPED ] 1 test") != std::string::npos) GTEST_SKIP() << r.output;
    EXPECT_NE(r.output.find("[  PASSED  ] 1 test"), std::string::npos) << r.output;
}

CHILD_TEST(ShellRestart, StartsAShellOnlyWhenNoneRuns) {
    OSVERSIONINFOA version = {sizeof version};
    GetVersionExA(&version);
    ASSERT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
    // Every shell ends with the test, also Wine's desktop process that a
    // shell starts: one left running would keep the parent's output pipe open.
    const auto endShells = [] {
        for (DWORD id : ProcessesNamed("explorer.exe")) EndProcess(id);
    };
    win32::ScopeGuard atEnd(endShells);
    endShells();
    ASSERT_TRUE(ProcessesNamed("explorer.exe").empty());

    EXPECT_NE(RestartShell(), 0);
    const DWORD self = GetCurrentProcessId();
    std::vector<DWORD> shells;
    for (DWORD start = GetTickCount(); shells.empty() && GetTickCount() - start < 30000; Sleep(200))
        shells = ProcessesNamed("explorer.exe", self);
    ASSERT_EQ(shells.size(), 1u);

    // Seeing the running shell takes its path.
    if (!testsupport::ProcessMemoryReadable()) GTEST_SKIP() << kNoMemoryReads;
    EXPECT_EQ(RestartShell(), 0);
    Sleep(2000);
    EXPECT_EQ(ProcessesNamed("explorer.exe", self), shells);
}

}  // namespace
