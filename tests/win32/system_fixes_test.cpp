// Services under Wine's service manager; shares, share passwords, group
// members and accounts through the tests' stand-in netapi32.dll, svrapi.dll
// and advapi_shares.dll (tests/win32/dlls), which record every call.
#include <gtest/gtest.h>
#include <windows.h>
#include <lm.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/removal_run.h"
#include "fix/accounts.h"
#include "fix/registry.h"
#include "fix/services.h"
#include "fix/shares.h"
#include "ps/win32/system_functions.h"
#include "support/replace.h"
#include "support/support.h"

namespace {

constexpr uint32_t kStop = 1, kDelete = 2;
const char kNtShares[] = "SYSTEM\\CurrentControlSet\\Services\\lanmanserver\\Shares";
const char k9xShares[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Network\\LanMan";

// Wine reads no share's permissions: NT share securing finds the tests'
// stand-in library where it asks for the system's security library.
const char* g_securityLibrary = "advapi_shares.dll";
HMODULE(WINAPI* g_loadLibrary)(LPCSTR);
HMODULE WINAPI LoadSecurityStandIn(LPCSTR name) {
    return g_loadLibrary(lstrcmpiA(name, "advapi32.dll") == 0 ? g_securityLibrary : name);
}
class SecurityStandIn {
public:
    SecurityStandIn() : m_load(dyn_LoadLibraryA, LoadSecurityStandIn) {
        g_loadLibrary = m_load.original();
        g_securityLibrary = "advapi_shares.dll";
    }

private:
    testsupport::ScopedBinding<decltype(dyn_LoadLibraryA.slot)> m_load;
};

// A stand-in library as the program's lookup finds it, held for the test
// (so its state lives between the program's loads) and reset.
class StandIn {
public:
    explicit StandIn(const char* name) : m_module(LoadLibraryA(name)) {
        // Wine's own copy has none of the stand-in's exports.
        if (Ours()) Call("StandInReset");
    }
    ~StandIn() { FreeLibrary(m_module); }
    bool Ours() const { return m_module && GetProcAddress(m_module, "StandInCalls"); }
    template <typename R = void, typename... A>
    R Call(const char* name, A... args) const {
        return reinterpret_cast<R(WINAPI*)(A...)>(reinterpret_cast<void*>(GetProcAddress(m_module, name)))(args...);
    }
    std::string Calls() const { return Call<const char*>("StandInCalls"); }

private:
    HMODULE m_module;
};

// --- Services ---------------------------------------------------------------------

const struct {
    const char* name;
    const char* display;
    bool start;
} kServices[] = {
    {"QvnAlphaSvc", "Quorvin Alpha", true},       {"qvnbeta", "Quorvin Beta", false},
    {"XyzDisplayOnly", "Quorvin Display Only", false}, {"ZQEXACT", "Exact Upper", false},
    {"zqexactly", "Exact Longer", false},
};

// 0 when the service is gone.
DWORD ServiceState(SC_HANDLE manager, const char* name) {
    SC_HANDLE s = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (s) QueryServiceStatus(s, &status);
    CloseServiceHandle(s);
    return status.dwCurrentState;
}

bool WaitForState(SC_HANDLE manager, const char* name, DWORD state) {
    for (int i = 0; i < 600; ++i, Sleep(100))
        if (ServiceState(manager, name) == state) return true;
    return false;
}

class Services : public ::testing::Test {
protected:
    void SetUp() override {
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr);
        const std::string exe = testsupport::BinDir() + "\\test_service.exe";
        for (const auto& t : kServices) {
            SC_HANDLE s = CreateServiceA(manager, t.name, t.display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, exe.c_str(), nullptr, nullptr,
                                         nullptr, nullptr, nullptr);
            bool started = s && (!t.start || StartServiceA(s, 0, nullptr));
            CloseServiceHandle(s);
            ASSERT_TRUE(started && (!t.start || WaitForState(manager, t.name, SERVICE_RUNNING))) << t.name;
        }
        def.threatServiceTable = rules;
        def.threatServiceCount = 4;
    }
    void TearDown() override {
        for (const auto& t : kServices) {
            SC_HANDLE s = OpenServiceA(manager, t.name, SERVICE_STOP | DELETE);
            SERVICE_STATUS status;
            if (!s) continue;
            ControlService(s, SERVICE_CONTROL_STOP, &status);
            DeleteService(s);
            CloseServiceHandle(s);
        }
        CloseServiceHandle(manager);
    }

    // A delete-only rule ahead of a rule that also stops: the stop pass
    // passes over it. Exact and prefix names, and a display name alone.
    const ThreatServiceRule rules[4] = {
        {kDelete, true, "QVNALPHASVC", false, nullptr},
        {kStop | kDelete, false, "qvn", false, "quorvin"},
        {kDelete, false, nullptr, true, "quorvin display only"},
        {kDelete, true, "zqexact", false, nullptr},
    };
    SC_HANDLE manager = nullptr;
    ThreatDefinition def = BuiltInDefinition();
};

// A silent run in-process over a folder holding a listed file: it finds the
// threat and so goes on to members, accounts and shares, one of each planted
// in the stand-ins. The share keys are gone again afterwards.
void RunFindingTheThreat(RemovalRun& run, ThreatDefinition& def, const StandIn& netapi, const StandIn& svrapi) {
    static const ThreatGroupMember members[] = {{L"HOST\\intruder", L"Users"}, {nullptr, nullptr}};
    static const wchar_t* const accounts[] = {L"intruder", nullptr};
    static std::string threatFile;
    static const char* files[2];
    ASSERT_TRUE(netapi.Ours() && svrapi.Ours());
    netapi.Call("StandInAddMember", L"Users", L"HOST\\intruder");
    netapi.Call("StandInAddUser", L"intruder", 0x201);
    netapi.Call("StandInAddShare", L"PUBLIC", static_cast<void*>(nullptr), 0, TRUE);
    svrapi.Call("StandInAddShare", "PUBLIC", "", "");
    ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, kNtShares, "PUBLIC", "p") &&
                testsupport::SetRegString(HKEY_LOCAL_MACHINE, std::string(k9xShares) + "\\PUBLIC", "Path", "C:\\"));
    const std::string dir = testsupport::NewWorkDir("whole-run");
    threatFile = dir + "\\QVNFIX.DLL";
    files[0] = threatFile.c_str();
    ASSERT_TRUE(testsupport::WriteBytes(threatFile, {'M', 'Z'}));
    def.threatFileList = files;
    def.groupMemberRemovalList = members;
    def.accountDisableList = accounts;
    def.fixSharesDefault = true;
    run.def = &def;
    run.options = DefaultRunOptions(def);
    run.options.silentMode = run.options.noSilentReboot = true;
    run.options.onlyDirPath = dir;
    run.options.logPath = dir + "\\run.log";
    SecurityStandIn security;
    RunProgress progress;
    RunRemoval(run, progress);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kNtShares);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, k9xShares);
}

TEST_F(Services, StoppedThenDeletedInARunThatFindsTheThreat) {
    StandIn netapi("netapi32.dll"), svrapi("svrapi.dll");
    RemovalRun run(def);
    RunFindingTheThreat(run, def, netapi, svrapi);

    // The stop pass, its empty line, the process phase's, then the delete
    // pass in the manager's order and its empty line.
    std::string log = testsupport::ReadText(run.options.logPath);
    std::vector<std::string> lines = testsupport::Lines(log);
    ASSERT_GE(lines.size(), 9u) << log;
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 4),
              (std::vector<std::string>{"service: Quorvin Alpha (stopped)", "", ""}));
    std::sort(lines.begin() + 4, lines.begin() + 8);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.begin() + 9),
              (std::vector<std::string>{"service: Exact Upper (deleted)", "service: Quorvin Alpha (deleted)",
                                        "service: Quorvin Beta (deleted)", "service: Quorvin Display Only (deleted)",
                                        ""}));
    EXPECT_TRUE(WaitForState(manager, "QvnAlphaSvc", 0));
    for (const auto& t : kServices)
        EXPECT_EQ(ServiceState(manager, t.name) != 0, std::string(t.name) == "zqexactly") << t.name;

    EXPECT_NE(run.log.reportText.find("The number of threat services terminated: 1\n"
                                      "The number of threat services removed: 4\n"
                                      "The number of shares found: 1\n"
                                      "The number of shares secured for administrator use only: 1\n"
                                      "The number of group members removed: 1\n"
                                      "The number of accounts disabled: 1\n"),
              std::string::npos)
        << run.log.reportText;
}

// Service-manager calls that fail with access denied, as a system refuses
// them (Wine's manager grants every access an administrator asks for).
SC_HANDLE WINAPI RefuseManager(LPCSTR, LPCSTR, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}
SC_HANDLE WINAPI RefuseService(SC_HANDLE, LPCSTR, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}
BOOL WINAPI RefuseDelete(SC_HANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(Services, AccessDeniedLinesThroughTheSeam) {
    // Wine's manager never refuses an administrator: the seam does.
    const ThreatServiceRule beta[] = {{kStop | kDelete, true, "qvnbeta", false, nullptr}};
    def.threatServiceTable = beta;
    def.threatServiceCount = 1;
    RemovalRun run(def);
    testsupport::LogCapture sink(run.log);
    const struct {
        void (*removeRefused)(RemovalRun&);
        const char* line;
    } cases[] = {
        {[](RemovalRun& r) {
             testsupport::ScopedBinding refused(dyn_OpenSCManagerA, RefuseManager);
             RemoveThreatServices(r);
         },
         "service: (can't access database, insufficient privileges)"},
        {[](RemovalRun& r) {
             testsupport::ScopedBinding refused(dyn_OpenServiceA, RefuseService);
             RemoveThreatServices(r);
         },
         "service: Quorvin Beta (can't access, insufficient privileges)"},
        {[](RemovalRun& r) {
             testsupport::ScopedBinding refused(dyn_DeleteService, RefuseDelete);
             RemoveThreatServices(r);
         },
         "service: Quorvin Beta (can't delete, insufficient privileges)"},
    };
    for (const auto& c : cases) {
        sink.text.clear();
        c.removeRefused(run);
        EXPECT_EQ(sink.text, std::string(c.line) + "\r\n");
    }
    EXPECT_EQ(run.stats.servicesRemoved, 0u);
    sink.text.clear();
    StopThreatServices(run);   // not running: nothing to say
    RemoveThreatServices(run);
    EXPECT_EQ(sink.text, "service: Quorvin Beta (deleted)\r\n");
}

// Run by the next test under Wine's "win98": the member and account lists
// are not run there, the share passwords are.
CHILD_TEST(Family9x, RunWithMembersAccountsAndShares) {
    StandIn netapi("netapi32.dll"), svrapi("svrapi.dll");
    ThreatDefinition def = BuiltInDefinition();
    RemovalRun run(def);
    RunFindingTheThreat(run, def, netapi, svrapi);
    ASSERT_TRUE(run.flags.isWin9xFamily);
    EXPECT_EQ(netapi.Calls(), "");
    EXPECT_EQ(svrapi.Calls(), "NetShareGetInfo PUBLIC 50 564\nNetShareSetInfo PUBLIC 50 564 0 /\n");
}

TEST(Family9x, MembersAndAccountsAreNotRun) {
    testsupport::ProcessResult r = testsupport::RunChildUnderVersion("fixes_win98.exe", "win98", "Family9x.*");
    ASSERT_TRUE(r.finished);
    EXPECT_NE(r.output.find("[  PASSED  ] 1 test."), std::string::npos) << r.output;
}

// --- Shares and accounts on the NT family ---------------------------------------------

// A self-relative descriptor from its text form.
std::vector<BYTE> Descriptor(const char* text) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &sd, &size);
    std::vector<BYTE> out(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + size);
    LocalFree(sd);
    return out;
}

const std::vector<BYTE> kEveryoneFull = Descriptor("D:(A;;0x1f01ff;;;WD)");
const std::vector<BYTE> kOwn = Descriptor("D:(A;;0x1200a9;;;WD)(A;;0x1f01ff;;;BA)");
const std::vector<BYTE> kAdminsOnly = Descriptor("D:(A;;0x1f01ff;;;BA)");

class NtNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(netapi.Ours());
        Plant();
    }
    void TearDown() override { DeleteKeyTree(HKEY_LOCAL_MACHINE, kNtShares); }
    // A share of each kind (the first with more than 512 bytes of data),
    // and two administrative shares; no call recorded yet.
    void Plant() {
        netapi.Call("StandInReset");
        const struct {
            const wchar_t* name;
            const std::vector<BYTE>& sd;
            BOOL readable;
        } shares[] = {{L"LONGDATA", kOwn, TRUE},         {L"PUBLIC", kEveryoneFull, TRUE},
                      {L"PRIVATE", kOwn, TRUE},          {L"NOREAD", kOwn, FALSE},
                      {L"C$", kEveryoneFull, TRUE},      {L"D$", kEveryoneFull, TRUE}};
        for (const auto& s : shares) {
            netapi.Call("StandInAddShare", s.name, s.sd.data(), s.sd.size(), s.readable);
            if (s.name[1] != L'$')
                testsupport::SetRegString(HKEY_LOCAL_MACHINE, kNtShares, testsupport::Ansi(s.name).c_str(),
                                 std::string(s.name == std::wstring(L"LONGDATA") ? 700 : 20, 'p'));
        }
    }
    std::vector<BYTE> Share(const wchar_t* name) {
        std::vector<BYTE> out(512);
        DWORD size = netapi.Call<DWORD>("StandInShareDescriptor", name, out.data(), 512, FALSE);
        out.resize(size == 0xFFFFFFFF ? 0 : size);
        return out;
    }

    StandIn netapi{"netapi32.dll"};
    SecurityStandIn security;
    ThreatDefinition def = BuiltInDefinition();
    RemovalRun run{def};
    testsupport::LogCapture sink{run.log};
};

TEST_F(NtNetwork, SharesSecuredOrAdministrativeSharesDeleted) {
    const struct {
        bool fix, deleteAdmin;
        uint32_t found, secured;
    } cases[] = {{true, false, 4, 6}, {false, true, 0, 0}, {true, true, 4, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "fix " << c.fix << " delete " << c.deleteAdmin);
        Plant();
        run.options.fixShares = c.fix;
        run.options.deleteAdminShares = c.deleteAdmin;
        EXPECT_TRUE(SecureSharesNt(run));
        EXPECT_EQ(run.sharesFound, c.found);
        EXPECT_EQ(run.sharesSecured, c.secured);
        EXPECT_EQ(Share(L"PUBLIC"), c.fix ? kAdminsOnly : kEveryoneFull);
        // A share with its own permissions gets them back, also where they
        // could not be read first.
        for (const wchar_t* own : {L"PRIVATE", L"NOREAD", L"LONGDATA"}) EXPECT_EQ(Share(own), kOwn);
        std::string calls = netapi.Calls();
        EXPECT_EQ(Share(L"C$"), c.deleteAdmin ? std::vector<BYTE>{} : kAdminsOnly);
        EXPECT_EQ(testsupport::Count(calls, "NetShareDel "), c.deleteAdmin ? 24u : 0u);
        EXPECT_EQ(testsupport::Count(calls, "NetShareDel Z$ 0\n"), c.deleteAdmin ? 1u : 0u);
        EXPECT_EQ(testsupport::Count(calls, "NetApiBufferFree"), c.secured);   // every block that came back
        EXPECT_EQ(sink.text, "");
    }
}

TEST_F(NtNetwork, MembersRemovedAndAccountsDisabled) {
    netapi.Call("StandInAddMember", L"Administrators", L"HOST\\intruder");
    netapi.Call("StandInAddUser", L"intruder", UF_SCRIPT | UF_NORMAL_ACCOUNT);
    netapi.Call("StandInAddUser", L"sleeper", UF_SCRIPT | UF_ACCOUNTDISABLE);
    const ThreatGroupMember members[] = {
        {L"HOST\\intruder", L"Administrators"}, {L"HOST\\nobody", L"Administrators"}, {nullptr, nullptr}};
    const wchar_t* const accounts[] = {L"intruder", L"ghost", L"sleeper", nullptr};
    def.groupMemberRemovalList = members;
    def.accountDisableList = accounts;
    RemoveGroupMembers(run);
    DisableAccounts(run);
    EXPECT_EQ(sink.text,
              "The member \"HOST\\intruder\" was removed from the local group \"Administrators\".\r\n\r\n"
              "The account \"intruder\" has been disabled.\r\n\r\n"
              "The account \"sleeper\" has been disabled.\r\n\r\n");
    EXPECT_EQ(run.stats.groupMembersRemoved, 1u);
    EXPECT_EQ(run.stats.accountsDisabled, 2u);
    // The other flags are kept (UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_ACCOUNTDISABLE);
    // the unknown member was asked for.
    const std::string calls = netapi.Calls();
    EXPECT_NE(calls.find("NetUserSetInfo intruder 1 515\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("NetLocalGroupDelMembers Administrators HOST\\nobody 3 1\n"), std::string::npos);
}

// A raising export fails like any other and the run goes on; without a
// function (the security ones looked up where SetEntriesInAclA is missing)
// or without the Shares key nothing is done.
TEST_F(NtNetwork, FailuresEndNothing) {
    netapi.Call("StandInAddUser", L"intruder", UF_SCRIPT);
    netapi.Call("StandInRaise", "NetUserSetInfo");
    netapi.Call("StandInRaise", "NetShareSetInfo");
    DisableAccount(run, L"intruder");
    run.options.fixShares = true;
    EXPECT_TRUE(SecureSharesNt(run));
    EXPECT_EQ(run.sharesFound, 4u);
    EXPECT_EQ(run.sharesSecured, 0u);
    EXPECT_EQ(run.stats.accountsDisabled, 0u);
    EXPECT_EQ(sink.text, "");
    // Every block that came back is freed: the account's and the six shares'.
    EXPECT_EQ(testsupport::Count(netapi.Calls(), "NetApiBufferFree"), 7u);

    Plant();   // and no function raises
    run.options.deleteAdminShares = true;
    g_securityLibrary = "netapi32.dll";   // one without the security functions
    EXPECT_FALSE(SecureSharesNt(run));
    g_securityLibrary = "advapi_shares.dll";
    ASSERT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, kNtShares));
    EXPECT_FALSE(SecureSharesNt(run));
    EXPECT_EQ(netapi.Calls(), "");
    EXPECT_EQ(run.sharesFound + run.sharesSecured, 0u);
    EXPECT_EQ(Share(L"C$"), kEveryoneFull);
}

// --- Share passwords on the 9x family ------------------------------------------------

class Shares9x : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(svrapi.Ours());   // not Wine's raising stubs
        for (auto [name, ro] : {std::pair{"PUBLIC", ""}, {"RONLY", "READ"}, {"X$TRA", ""}, {"C$", ""}})
            svrapi.Call("StandInAddShare", name, "", ro);
        for (const char* name : {"PUBLIC", "RONLY", "X$TRA", "GONE", "C$"})
            ASSERT_TRUE(testsupport::SetRegString(HKEY_LOCAL_MACHINE, std::string(k9xShares) + "\\" + name, "Path", "C:\\"));
    }
    void TearDown() override { DeleteKeyTree(HKEY_LOCAL_MACHINE, k9xShares); }
    std::string Passwords(const char* share) { return svrapi.Call<const char*>("StandInPasswords", share); }

    StandIn svrapi{"svrapi.dll"};
    RemovalRun run;
};

// Passwords only on shares without one, "$" second names passed over; then
// the administrative shares deleted; a raising library and a missing key.
TEST_F(Shares9x, PasswordsAdministrativeSharesAndFailures) {
    char rw[] = "secretpassword", ro[16] = "";
    run.options.fixShares = true;
    EXPECT_TRUE(SecureShares9x(run, rw, ro));
    EXPECT_EQ(run.sharesFound, 3u);     // PUBLIC, RONLY and GONE (no such share)
    EXPECT_EQ(run.sharesSecured, 2u);
    EXPECT_EQ(Passwords("PUBLIC"), "SECRETPA/");
    EXPECT_EQ(Passwords("RONLY"), "/READ");
    EXPECT_EQ(svrapi.Calls().find("X$TRA"), std::string::npos);
    EXPECT_EQ(testsupport::Count(svrapi.Calls(), "NetShareDel"), 0u);

    run.options.fixShares = false;
    run.options.deleteAdminShares = true;
    EXPECT_TRUE(SecureShares9x(run, rw, ro));
    EXPECT_EQ(testsupport::Count(svrapi.Calls(), "NetShareDel"), 24u);
    EXPECT_EQ(Passwords("C$"), "");
    EXPECT_FALSE(testsupport::RegKeyExists(HKEY_LOCAL_MACHINE, std::string(k9xShares) + "\\C$"));
    EXPECT_TRUE(testsupport::RegKeyExists(HKEY_LOCAL_MACHINE, std::string(k9xShares) + "\\X$TRA"));

    run.options.fixShares = true;
    svrapi.Call("StandInRaise", "NetShareGetInfo");
    EXPECT_TRUE(SecureShares9x(run, rw, ro));
    EXPECT_EQ(run.sharesFound, 3u);
    EXPECT_EQ(run.sharesSecured, 0u);
    ASSERT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, k9xShares));
    EXPECT_FALSE(SecureShares9x(run, rw, ro));
    EXPECT_EQ(run.sharesFound, 0u);
}

}  // namespace
