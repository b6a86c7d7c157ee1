// Run-time binding of system functions, the OpenThread stand-ins, and the
// small operations on processes, threads and privileges that use them.
#include <gtest/gtest.h>
#include <winternl.h>

#include <functional>
#include <string>
#include <vector>

#include "procs/threats.h"
#include "ps/win32/open_thread_fallback.h"
#include "ps/win32/system_functions.h"
#include "support/support.h"

namespace {

// A library of the tests' own (tests/win32/dlls/BINDPROBE.cpp), bound like
// the system's, so that the process-wide slots are left alone.
int g_providerRuns = 0;
DWORD WINAPI Substitute(DWORD x) { return x + 1000; }
void* CountingProvider() {
    ++g_providerRuns;
    return reinterpret_cast<void*>(&Substitute);
}

constinit dynamic_dll probe_dll("BINDPROBE.DLL");
constinit dynamic_dll absent_dll("QUORVIN-NO-SUCH-LIBRARY.DLL");
PS_DEFINE_DYNAMIC(probe_dll, nullptr, ULONGLONG, Mix, DWORD, ULONGLONG, WORD, LPCSTR, DWORD*);
PS_DEFINE_DYNAMIC(probe_dll, nullptr, LONG, Calls);
PS_DEFINE_DYNAMIC(probe_dll, nullptr, DWORD, NotExported, DWORD);
PS_DEFINE_DYNAMIC(probe_dll, CountingProvider, DWORD, Substituted, DWORD);
PS_DEFINE_DYNAMIC(absent_dll, CountingProvider, DWORD, InAbsentLibrary, DWORD);

// The name of the function the call failed to bind, or "" when it did not throw.
template <typename Call> std::string BindingFailure(Call call) {
    try {
        call();
    } catch (_dynamic_dll_exception* e) {
        std::string name = e->name;
        delete e;
        return name;
    }
    return "";
}

TEST(Binding, SlotResolvesOnceAndPassesArgumentsAndResultsThrough) {
    ASSERT_FALSE(dyn_Mix.resolved());
    ASSERT_EQ(probe_dll.handle(), nullptr);   // loaded on first need only
    for (DWORD a = 1; a <= 3; ++a) {
        DWORD length = 0;
        const ULONGLONG b = 0x1122334455667788ull + a;
        EXPECT_EQ(dyn_Mix(a, b, WORD(0xBEEF), "four", &length), b * 3 + (ULONGLONG(a) << 20) + 0xBEEF) << a;
        EXPECT_EQ(length, a + 4);
    }
    ASSERT_NE(probe_dll.handle(), nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(dyn_Mix.slot),
              reinterpret_cast<void*>(GetProcAddress(probe_dll.handle(), "Mix")));
    EXPECT_EQ(dyn_Calls(), 3);   // the first call, too, reached the library once
    EXPECT_EQ(probe_dll.references(), 1u);

    // A replacement is asked for once.
    for (DWORD x = 0; x < 3; ++x) EXPECT_EQ(dyn_Substituted(x), x + 1000);
    EXPECT_EQ(g_providerRuns, 1);
    EXPECT_EQ(reinterpret_cast<void*>(dyn_Substituted.slot), reinterpret_cast<void*>(&Substitute));
}

TEST(Binding, MissingNamesAndLibrariesThrowOnEveryCall) {
    const int runs = g_providerRuns;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(BindingFailure([] { dyn_NotExported(1); }), "NotExported");
        EXPECT_FALSE(dyn_NotExported.resolved());
        // A library that cannot be loaded throws before any replacement is asked for.
        EXPECT_EQ(BindingFailure([] { dyn_InAbsentLibrary(1); }), "InAbsentLibrary");
        EXPECT_FALSE(dyn_InAbsentLibrary.resolved());
    }
    EXPECT_EQ(absent_dll.handle(), nullptr);
    EXPECT_EQ(absent_dll.references(), 0u);
    EXPECT_EQ(g_providerRuns, runs);
}

TEST(Binding, EveryBoundNameIsExportedHereOrHasAFallback) {
    const struct { const char* library; std::vector<std::pair<const char*, bool>> names; } libraries[] = {
#define NAME(fallback, ret, name, ...) {#name, fallback != nullptr},
        {"ADVAPI32.DLL", {PS_ADVAPI32_FUNCTIONS(NAME)}},
        {"KERNEL32.DLL", {PS_KERNEL32_FUNCTIONS(NAME)}},
        {"NTDLL.DLL", {PS_NTDLL_FUNCTIONS(NAME)}},
        {"USER32.DLL", {PS_USER32_FUNCTIONS(NAME)}},
#undef NAME
    };
    size_t total = 0;
    for (const auto& l : libraries) {
        // Loaded as the binding loads it (this program need not import it).
        HMODULE module = LoadLibraryA(l.library);
        ASSERT_NE(module, nullptr) << l.library;
        for (const auto& [name, hasFallback] : l.names)
            EXPECT_TRUE(GetProcAddress(module, name) || hasFallback) << l.library << " " << name;
        total += l.names.size();
    }
    EXPECT_EQ(total, 54u);
}

// The replacement a provider gives, typed like the bound function F.
template <auto& F> auto Replacement(fallback_provider provider) {
    return reinterpret_cast<decltype(F.slot)>(provider());
}

TEST(Binding, SimpleFallbacksFailWithCallNotImplemented) {
    HANDLE token = nullptr;
    DWORD size = 5;
#define FALLBACK(name) Replacement<dyn_##name>(name##Fallback)
    const struct { const char* name; std::function<bool()> fails; } calls[] = {
        {"GetTokenInformation",
         [&] { return !FALLBACK(GetTokenInformation)(GetCurrentProcess(), TokenUser, nullptr, 0, &size); }},
        {"OpenProcessToken", [&] { return !FALLBACK(OpenProcessToken)(GetCurrentProcess(), TOKEN_QUERY, &token); }},
        {"OpenProcessToken without output",
         [] { return !FALLBACK(OpenProcessToken)(GetCurrentProcess(), TOKEN_QUERY, nullptr); }},
        {"OpenSCManagerA", [] { return !FALLBACK(OpenSCManagerA)(nullptr, nullptr, 1); }},
        {"CreateToolhelp32Snapshot",
         [] { return FALLBACK(CreateToolhelp32Snapshot)(TH32CS_SNAPPROCESS, 0) == INVALID_HANDLE_VALUE; }},
        {"OpenThread", [] { return !OpenThreadMissing(THREAD_ALL_ACCESS, FALSE, GetCurrentThreadId()); }},
    };
#undef FALLBACK
    for (const auto& c : calls) {
        SetLastError(0);
        EXPECT_TRUE(c.fails()) << c.name;
        EXPECT_EQ(GetLastError(), 120u) << c.name;
    }
    EXPECT_EQ(token, INVALID_HANDLE_VALUE);
}

// Stand-ins for the bound GetVersionExA while the OpenThread choice is made.
OSVERSIONINFOA g_reported;
int g_versionCalls = 0;
DWORD g_versionSize = 0;
BOOL WINAPI ReportVersion(LPOSVERSIONINFOA info) {
    ++g_versionCalls;
    g_versionSize = info->dwOSVersionInfoSize;
    if (g_reported.dwPlatformId == 0) return FALSE;
    *info = g_reported;
    return TRUE;
}
BOOL WINAPI VersionNotBound(LPOSVERSIONINFOA) { throw new _dynamic_dll_exception{"GetVersionExA"}; }
HMODULE WINAPI ModuleHandleNotBound(LPCSTR) { throw new _dynamic_dll_exception{"GetModuleHandleA"}; }
// GetModuleHandleA answering with another loaded library.
const char* g_standIn = "";
std::string g_askedFor;
HMODULE WINAPI KernelStandIn(LPCSTR name) {
    g_askedFor = name;
    return GetModuleHandleA(g_standIn);
}

// A thread of this process that waits until told to end, then returns 7.
// A thread that waits for its stop event. The constructor returns once the
// thread waits: a thread suspended or ended while it is still being started
// has hung the whole program under the CPU emulator.
class Worker {
public:
    Worker() : m_events{CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)} {
        m_thread = CreateThread(nullptr, 0, &Run, m_events, 0, &m_id);
        WaitForSingleObject(m_events[kUp], 10000);
    }
    ~Worker() {
        SetEvent(m_events[kStop]);
        WaitForSingleObject(m_thread, 10000);
        CloseHandle(m_thread);
        for (HANDLE e : m_events) CloseHandle(e);
    }
    DWORD Id() const { return m_id; }
    HANDLE Handle() const { return m_thread; }

private:
    static constexpr int kStop = 0, kUp = 1;
    static DWORD WINAPI Run(void* events) {
        HANDLE* e = static_cast<HANDLE*>(events);
        SetEvent(e[kUp]);
        return WaitForSingleObject(e[kStop], 60000) == WAIT_OBJECT_0 ? 7 : 8;
    }
    HANDLE m_events[2];
    HANDLE m_thread;
    DWORD m_id = 0;
};

// A thread id that names no thread.
constexpr DWORD kNoThread = 0x7FFFFFF0;

TEST(OpenThreadFallback, NeverRunsWhereOpenThreadIsExported) {
    dyn_GetVersionExA.slot = &ReportVersion;
    g_versionCalls = 0;
    dyn_OpenThread.reset();
    UniqueBoundHandle thread(dyn_OpenThread(THREAD_QUERY_INFORMATION, FALSE, GetCurrentThreadId()));
    EXPECT_TRUE(thread.valid());
    EXPECT_EQ(reinterpret_cast<void*>(dyn_OpenThread.slot),
              reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "OpenThread")));
    EXPECT_EQ(g_versionCalls, 0);
    ChooseOpenThread();   // the probe does see the choice being made
    EXPECT_EQ(g_versionCalls, 1);
    dyn_GetVersionExA.reset();
}

void Report(DWORD platform, DWORD major, DWORD minor) { g_reported = {0, major, minor, 0, platform, {}}; }

TEST(OpenThreadFallback, ChoiceByReportedPlatform) {
    void* const missing = reinterpret_cast<void*>(&OpenThreadMissing);
    void* const native = reinterpret_cast<void*>(&OpenThreadNative);
    void* const table = reinterpret_cast<void*>(&OpenThreadFromHandleTable);
    dyn_GetVersionExA.slot = &ReportVersion;

    // Windows 98: the emulation needs the kernel's ninth export to be a
    // routine of its own. Libraries of this machine stand in for KERNEL32.
    Report(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    dyn_GetModuleHandleA.slot = &ModuleHandleNotBound;
    EXPECT_EQ(ChooseOpenThread(), missing);
    dyn_GetModuleHandleA.slot = &KernelStandIn;
    ASSERT_NE(LoadLibraryA("ZEMRA32.DLL"), nullptr);
    ASSERT_NE(LoadLibraryA("BINDPROBE.DLL"), nullptr);
    const struct { const char* standIn; void* chosen; } modules[] = {
        {"KERNEL32.DLL", missing},   // Wine's: its ninth entry forwards elsewhere
        {"ZEMRA32.DLL", missing},    // fewer than nine exports
        {"BINDPROBE.DLL", table},    // a routine of its own (after this the choice is prepared)
    };
    for (const auto& m : modules) {
        g_standIn = m.standIn;
        g_askedFor.clear();
        EXPECT_EQ(ChooseOpenThread(), m.chosen) << m.standIn;
        EXPECT_EQ(g_askedFor, "KERNEL32.DLL");
    }
    dyn_GetModuleHandleA.reset();
    const HandleTableKernel& kernel = HandleTableKernelState();
    ASSERT_TRUE(kernel.ready);
    EXPECT_EQ(reinterpret_cast<void*>(kernel.reallocate),
              reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("BINDPROBE.DLL"), "Reallocate")));
    PROCESS_BASIC_INFORMATION basic = {};
    ASSERT_EQ(dyn_NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic,
                                            nullptr),
              0);
    EXPECT_EQ(kernel.idKey ^ GetCurrentProcessId(), reinterpret_cast<uintptr_t>(basic.PebBaseAddress));

    const struct { DWORD platform, major, minor; void* chosen; } versions[] = {
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, table}, {VER_PLATFORM_WIN32_WINDOWS, 4, 10, table},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, missing}, {VER_PLATFORM_WIN32_NT, 3, 51, native},
        {VER_PLATFORM_WIN32_NT, 4, 0, native}, {VER_PLATFORM_WIN32_NT, 5, 0, missing},
        {0, 0, 0, missing},   // GetVersionExA fails
    };
    for (const auto& v : versions) {
        Report(v.platform, v.major, v.minor);
        g_versionSize = 0;
        EXPECT_EQ(ChooseOpenThread(), v.chosen) << v.platform << " " << v.major << "." << v.minor;
        EXPECT_EQ(g_versionSize, 148u);
    }
    // A function missing while choosing: the not-implemented replacement.
    dyn_GetVersionExA.slot = &VersionNotBound;
    EXPECT_EQ(ChooseOpenThread(), missing);
    dyn_GetVersionExA.reset();
}

TEST(OpenThreadFallback, NativeEmulationOpensARealThread) {
    Worker worker;
    UniqueBoundHandle thread(OpenThreadNative(THREAD_SUSPEND_RESUME | SYNCHRONIZE, FALSE, worker.Id()));
    ASSERT_TRUE(thread.valid());
    EXPECT_EQ(SuspendThread(thread.get()), 0u);
    EXPECT_EQ(ResumeThread(worker.Handle()), 1u);   // the same thread
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(thread.get(), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);

    UniqueBoundHandle inheritable(OpenThreadNative(SYNCHRONIZE, TRUE, worker.Id()));
    ASSERT_TRUE(inheritable.valid());
    ASSERT_TRUE(GetHandleInformation(inheritable.get(), &flags));
    EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);
    // Only the access asked for.
    EXPECT_EQ(SuspendThread(inheritable.get()), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // No such thread: the status as a Win32 error, as OpenThread reports it.
    EXPECT_EQ(OpenThread(SYNCHRONIZE, FALSE, kNoThread), nullptr);
    const DWORD expected = GetLastError();
    SetLastError(0);
    EXPECT_EQ(OpenThreadNative(SYNCHRONIZE, FALSE, kNoThread), nullptr);
    EXPECT_EQ(GetLastError(), expected);
    EXPECT_NE(expected, 0u);
}

// Run under another reported version by ChoiceUnderWineVersions.
CHILD_TEST(OpenThreadFallback, ChoiceHere) {
    void* chosen = ChooseOpenThread();
    testsupport::PrintValue("choice", chosen == reinterpret_cast<void*>(&OpenThreadNative)            ? L"native"
                             : chosen == reinterpret_cast<void*>(&OpenThreadFromHandleTable) ? L"table"
                                                                                             : L"missing");
    if (chosen == reinterpret_cast<void*>(&OpenThreadNative)) {
        UniqueBoundHandle self(OpenThreadNative(THREAD_QUERY_INFORMATION, FALSE, GetCurrentThreadId()));
        testsupport::PrintValue("opened", self.valid() ? L"yes" : L"no");
    }
}

// Wine as Windows 98 has no 9x kernel structures, and says so through the
// forwarding entry where the 9x kernel has its routine.
TEST(OpenThreadFallback, ChoiceUnderWineVersions) {
    const struct { const char* version, *choice, *opened; } cases[] = {{"nt40", "native", "yes"},
                                                                       {"win98", "missing", ""}};
    for (const auto& c : cases) {
        testsupport::ProcessResult r = testsupport::RunChildUnderVersion(std::string("openthread_") + c.version + ".exe", c.version,
                                                      "OpenThreadFallback.ChoiceHere");
        ASSERT_TRUE(r.finished) << c.version;
        EXPECT_EQ(r.exitCode, 0u) << c.version << "\n" << r.output;
        EXPECT_EQ(testsupport::OutputValue(r.output, "choice"), c.choice) << c.version;
        EXPECT_EQ(testsupport::OutputValue(r.output, "opened"), c.opened) << c.version;
    }
}

// The state of a privilege in the own token: -1 not held, 0 held, 1 enabled.
int PrivilegeState(const char* name) {
    LUID luid;
    HANDLE raw = nullptr;
    if (!LookupPrivilegeValueA(nullptr, name, &luid) || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return -1;
    win32::UniqueKernelHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) return -1;
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
        if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart)
            return (p.Attributes & SE_PRIVILEGE_ENABLED) ? 1 : 0;
    }
    return -1;
}

TEST(ProcessOps, EnablePrivilegeOnlyForAHeldPrivilege) {
    const char* held = "SeShutdownPrivilege";
    ASSERT_NE(PrivilegeState(held), -1);
    EXPECT_EQ(ChangePrivilege(held, true), PrivilegeChange::Changed);
    EXPECT_EQ(PrivilegeState(held), 1);
    EXPECT_TRUE(EnablePrivilege(held, false));
    EXPECT_EQ(PrivilegeState(held), 0);
    EXPECT_TRUE(EnablePrivilege(held, true));
    EXPECT_EQ(PrivilegeState(held), 1);
    // Not held: every call succeeds, but nothing was enabled. That is no
    // failure of the calls, and ChangePrivilege says what it was.
    ASSERT_EQ(PrivilegeState("SeCreateTokenPrivilege"), -1);
    EXPECT_EQ(ChangePrivilege("SeCreateTokenPrivilege", true), PrivilegeChange::NotHeld);
    EXPECT_EQ(ChangePrivilege("SeCreateTokenPrivilege", false), PrivilegeChange::NotHeld);
    EXPECT_TRUE(EnablePrivilege("SeCreateTokenPrivilege", true));
    EXPECT_EQ(PrivilegeState("SeCreateTokenPrivilege"), -1);
    EXPECT_EQ(ChangePrivilege("SeNoSuchPrivilege", true), PrivilegeChange::Failed);
    EXPECT_FALSE(EnablePrivilege("SeNoSuchPrivilege", true));
}

TEST(ProcessOps, SuspendAndTerminateAThreadById) {
    // Suspending and ending threads by id has hung Wine itself, now and
    // then, under the CPU emulator (a full run cut off after 6 minutes).
    if (testsupport::CpuEmulated()) GTEST_SKIP() << "thread suspension hangs Wine under the CPU emulator";
    Worker worker;
    EXPECT_TRUE(SuspendThreadById(worker.Id()));
    EXPECT_TRUE(SuspendThreadById(worker.Id()));
    EXPECT_EQ(dyn_ResumeThread(worker.Handle()), 2u);
    EXPECT_EQ(dyn_ResumeThread(worker.Handle()), 1u);
    EXPECT_TRUE(TerminateThreadById(worker.Id()));
    ASSERT_EQ(WaitForSingleObject(worker.Handle(), 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(worker.Handle(), &code));
    EXPECT_EQ(code, 0u);   // ended by the termination, not by its own return (7)
    EXPECT_FALSE(SuspendThreadById(kNoThread));
    EXPECT_FALSE(TerminateThreadById(kNoThread));
}

// The child of SuspendAndTerminateAProcessById: says it is up, then sleeps.
// (Each test program has a Wine machine of its own: the name is not shared.)
const char kSleeperUp[] = "quorvin-sleeper-up";
CHILD_TEST(ProcessOps, Sleeper) {
    HANDLE up = CreateEventA(nullptr, TRUE, FALSE, kSleeperUp);
    ASSERT_NE(up, nullptr);
    SetEvent(up);
    Sleep(60000);
    ExitProcess(3);
}

TEST(ProcessOps, SuspendAndTerminateAProcessById) {
    // Suspending and ending threads by id has hung Wine itself, now and
    // then, under the CPU emulator (a full run cut off after 6 minutes).
    if (testsupport::CpuEmulated()) GTEST_SKIP() << "thread suspension hangs Wine under the CPU emulator";
    win32::UniqueKernelHandle up(CreateEventA(nullptr, TRUE, FALSE, kSleeperUp));
    testsupport::Process child;
    ASSERT_TRUE(child.Start(testsupport::ChildCommandLine("ProcessOps.Sleeper")));
    ASSERT_EQ(WaitForSingleObject(up.get(), 60000), WAIT_OBJECT_0);

    EXPECT_TRUE(SuspendThreadById(child.MainThreadId()));
    UniqueBoundHandle main(dyn_OpenThread(THREAD_SUSPEND_RESUME, FALSE, child.MainThreadId()));
    ASSERT_TRUE(main.valid());
    EXPECT_EQ(dyn_ResumeThread(main.get()), 1u);

    EXPECT_TRUE(TerminateProcessById(child.Id()));
    // Gone by the time it returns, so that its files are free.
    EXPECT_EQ(WaitForSingleObject(child.Handle(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(child.Wait(0), 0u);   // the termination's exit code, not the sleeper's (3)
    EXPECT_FALSE(TerminateProcessById(0x7FFFFFF0));
}

}  // namespace
