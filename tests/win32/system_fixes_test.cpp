// Services under Wine's service manager; shares, share passwords, group
// members and accounts through the tests' stand-in netapi32.dll, svrapi.dll
// and advapi_shares.dll (tests/win32/dlls), which record every call.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <lm.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/removal_run.h"
#include "fix/accounts.h"
#include "fix/services.h"
#include "fix/shares.h"
#include "fix/registry.h"
#include "support/support.h"

namespace {

constexpr uint32_t kStop = 1, kDelete = 2;
const char kNtShares[] = "SYSTEM\\CurrentControlSet\\Services\\lanmanserver\\Shares";
const char k9xShares[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Network\\LanMan";

template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// --- Services ---------------------------------------------------------------------

struct TestService {
    const char* name;
    const char* display;
    bool start;
};
const TestService kServices[] = {
    {"QvnAlphaSvc", "Quorvin Alpha", true},
    {"qvnbeta", "Quorvin Beta", false},
    {"XyzDisplayOnly", "Quorvin Display Only", false},
    {"ZQEXACT", "Exact Upper", false},
    {"zqexactly", "Exact Longer", false},
};

DWORD ServiceState(SC_HANDLE manager, const char* name) {
    SC_HANDLE s = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    if (!s) return 0;
    SERVICE_STATUS status = {};
    QueryServiceStatus(s, &status);
    CloseServiceHandle(s);
    return status.dwCurrentState;
}

bool WaitForState(SC_HANDLE manager, const char* name, DWORD state) {
    for (int i = 0; i < 600; ++i, Sleep(100))
        if (ServiceState(manager, name) == state) return true;
    return false;
}

void DeleteTestServices(SC_HANDLE manager) {
    for (const TestService& t : kServices) {
        SC_HANDLE s = OpenServiceA(manager, t.name, SERVICE_STOP | DELETE);
        if (!s) continue;
        SERVICE_STATUS status;
        ControlService(s, SERVICE_CONTROL_STOP, &status);
        DeleteService(s);
        CloseServiceHandle(s);
    }
}

class Services : public ::testing::Test {
protected:
    void SetUp() override {
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr);
        const std::string exe = qt::BinDir() + "\\test_service.exe";
        for (const TestService& t : kServices) {
            SC_HANDLE s = CreateServiceA(manager, t.name, t.display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, exe.c_str(), nullptr, nullptr,
                                         nullptr, nullptr, nullptr);
            ASSERT_NE(s, nullptr) << t.name << " " << GetLastError();
            bool started = !t.start || StartServiceA(s, 0, nullptr);
            CloseServiceHandle(s);
            ASSERT_TRUE(started && (!t.start || WaitForState(manager, t.name, SERVICE_RUNNING))) << t.name;
        }
        def = BuiltInDefinition();
        def.threatServiceTable = rules;
        def.threatServiceCount = sizeof rules / sizeof rules[0];
    }
    void TearDown() override {
        if (!manager) return;
        DeleteTestServices(manager);
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
    ThreatDefinition def;
};

// The stand-ins' state for a whole run: a member, an account and a share
// on each family. False when one of the stand-ins is not the one loaded.
bool PlantNetwork(HMODULE netapi, HMODULE svrapi) {
    auto reset = Export<void(WINAPI*)()>(netapi, "StandInReset");
    auto reset9x = Export<void(WINAPI*)()>(svrapi, "StandInReset");
    if (!reset || !reset9x) return false;
    reset();
    reset9x();
    Export<void(WINAPI*)(const wchar_t*, const wchar_t*)>(netapi, "StandInAddMember")(L"Users", L"HOST\\intruder");
    Export<void(WINAPI*)(const wchar_t*, DWORD)>(netapi, "StandInAddUser")(L"intruder", 0x201);
    Export<void(WINAPI*)(const wchar_t*, const void*, DWORD, BOOL)>(netapi, "StandInAddShare")(L"PUBLIC", nullptr, 0,
                                                                                             TRUE);
    Export<void(WINAPI*)(const char*, const char*, const char*)>(svrapi, "StandInAddShare")("PUBLIC", "", "");
    return qt::SetRegString(HKEY_LOCAL_MACHINE, kNtShares, "PUBLIC", "p") &&
           qt::SetRegString(HKEY_LOCAL_MACHINE, std::string(k9xShares) + "\\PUBLIC", "Path", "C:\\");
}

const ThreatGroupMember kRunMembers[] = {{L"HOST\\intruder", L"Users"}, {nullptr, nullptr}};
const wchar_t* const kRunAccounts[] = {L"intruder", nullptr};

// A silent run in-process that finds the threat (a listed file in the one
// folder it scans) and so goes on to members, accounts and shares.
void RunFindingTheThreat(RemovalRun& run, ThreatDefinition& def, const std::string& dir) {
    static std::string threatFile;
    static const char* files[2];
    threatFile = dir + "\\QVNFIX.DLL";
    files[0] = threatFile.c_str();
    ASSERT_TRUE(qt::WriteBytes(threatFile, {'M', 'Z'}));
    run.def = &def;
    def.threatFileList = files;
    def.groupMemberRemovalList = kRunMembers;
    def.accountDisableList = kRunAccounts;
    def.fixSharesDefault = true;
    run.options = DefaultRunOptions(def);
    run.options.silentMode = true;
    run.options.noSilentReboot = true;
    run.options.onlyDirPath = dir;
    run.options.logPath = dir + "\\run.log";
    ApplyOptions(run);
    run.seams.shareSecurityLibrary = "advapi_shares.dll";
    RunProgress progress;
    RunRemoval(run, progress);
}

TEST_F(Services, StoppedThenDeletedInARunThatFindsTheThreat) {
    HMODULE netapi = LoadLibraryA("netapi32.dll"), svrapi = LoadLibraryA("svrapi.dll");
    ASSERT_TRUE(PlantNetwork(netapi, svrapi));
    std::string dir = qt::NewWorkDir("services");
    RemovalRun run(def);
    RunFindingTheThreat(run, def, dir);
    EXPECT_EQ(run.stats.servicesStopped, 1u);
    EXPECT_EQ(run.stats.servicesRemoved, 4u);

    // The stop pass, its empty line, the process phase's, then the delete
    // pass in the manager's order and its empty line.
    std::string log = qt::ReadText(run.options.logPath);
    std::vector<std::string> lines = qt::Lines(log);
    ASSERT_GE(lines.size(), 9u) << log;
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 4),
              (std::vector<std::string>{"service: Quorvin Alpha (stopped)", "", ""}));
    EXPECT_EQ(Sorted(std::vector<std::string>(lines.begin() + 4, lines.begin() + 8)),
              (std::vector<std::string>{"service: Exact Upper (deleted)", "service: Quorvin Alpha (deleted)",
                                        "service: Quorvin Beta (deleted)", "service: Quorvin Display Only (deleted)"}));
    EXPECT_EQ(lines[8], "");
    EXPECT_TRUE(WaitForState(manager, "QvnAlphaSvc", 0));
    for (const TestService& t : kServices)
        EXPECT_EQ(ServiceState(manager, t.name) != 0, std::string(t.name) == "zqexactly") << t.name;

    EXPECT_EQ(qt::Count(log, "The member \"HOST\\intruder\" was removed from the local group \"Users\".\r\n\r\n"
                             "The account \"intruder\" has been disabled.\r\n\r\n"),
              1u)
        << log;
    EXPECT_NE(run.log.reportText.find("The number of threat services terminated: 1\n"
                                      "The number of threat services removed: 4\n"
                                      "The number of shares found: 1\n"
                                      "The number of shares secured for administrator use only: 1\n"
                                      "The number of group members removed: 1\n"
                                      "The number of accounts disabled: 1\n"),
              std::string::npos)
        << run.log.reportText;
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kNtShares);
}

// Run by the next test under Wine's "win98": the member and account lists
// are not run there, the share passwords are.
TEST(Family9x, DISABLED_RunWithMembersAccountsAndShares) {
    HMODULE netapi = LoadLibraryA("netapi32.dll"), svrapi = LoadLibraryA("svrapi.dll");
    ASSERT_TRUE(PlantNetwork(netapi, svrapi));
    ThreatDefinition def = BuiltInDefinition();
    RemovalRun run(def);
    RunFindingTheThreat(run, def, qt::NewWorkDir("run9x"));
    ASSERT_TRUE(run.flags.isWin9xFamily);
    EXPECT_EQ(std::string(Export<const char*(WINAPI*)()>(netapi, "StandInCalls")()), "");
    EXPECT_EQ(std::string(Export<const char*(WINAPI*)()>(svrapi, "StandInCalls")()),
              "NetShareGetInfo PUBLIC 50 564\nNetShareSetInfo PUBLIC 50 564 0 /\n");
    EXPECT_EQ(run.stats.groupMembersRemoved + run.stats.accountsDisabled, 0u);
    const std::string& report = run.log.reportText;
    EXPECT_NE(report.find("The number of shares found: 1\nThe number of shares secured for administrator use only: 1\n"),
              std::string::npos)
        << report;
    EXPECT_EQ(report.find("group members"), std::string::npos);
    EXPECT_EQ(report.find("accounts disabled"), std::string::npos);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, k9xShares);
}

TEST(Family9x, MembersAndAccountsAreNotRun) {
    qt::ProcessResult r = qt::RunSelfUnderVersion("fixes_win98.exe", "win98", "Family9x.DISABLED_*");
    ASSERT_TRUE(r.finished);
    EXPECT_NE(r.output.find("[  PASSED  ] 1 test."), std::string::npos) << r.output;
}

ServiceCall g_refused;
bool Refuse(ServiceCall call, const char*) { return call == g_refused; }

TEST_F(Services, AccessDeniedLinesThroughTheSeam) {
    // Wine's manager never refuses an administrator: the seam does.
    const ThreatServiceRule beta[] = {{kStop | kDelete, true, "qvnbeta", false, nullptr}};
    def.threatServiceTable = beta;
    def.threatServiceCount = 1;
    RemovalRun run(def);
    qt::LogCapture sink(run.log);
    run.seams.refuseServiceCall = Refuse;
    const struct {
        ServiceCall refused;
        const char* line;
    } cases[] = {
        {ServiceCall::OpenManager, "service: (can't access database, insufficient privileges)"},
        {ServiceCall::OpenByName, "service: Quorvin Beta (can't access, insufficient privileges)"},
        {ServiceCall::Delete, "service: Quorvin Beta (can't delete, insufficient privileges)"},
    };
    for (const auto& c : cases) {
        sink.text.clear();
        g_refused = c.refused;
        RemoveThreatServices(run);
        EXPECT_EQ(sink.text, std::string(c.line) + "\r\n");
    }
    EXPECT_EQ(run.stats.servicesRemoved, 0u);
    EXPECT_NE(ServiceState(manager, "qvnbeta"), 0u);
    run.seams.refuseServiceCall = nullptr;
    sink.text.clear();
    StopThreatServices(run);   // not running: nothing to say
    RemoveThreatServices(run);
    EXPECT_EQ(sink.text, "service: Quorvin Beta (deleted)\r\n");
}

// --- Shares and accounts on the NT family ---------------------------------------------

std::vector<BYTE> Descriptor(std::initializer_list<std::pair<WELL_KNOWN_SID_TYPE, DWORD>> entries) {
    std::vector<std::vector<BYTE>> sids;
    std::vector<EXPLICIT_ACCESS_A> access;
    for (const auto& [type, mask] : entries) {
        DWORD size = SECURITY_MAX_SID_SIZE;
        sids.emplace_back(size);
        CreateWellKnownSid(type, nullptr, sids.back().data(), &size);
    }
    size_t i = 0;
    for (const auto& [type, mask] : entries) {
        EXPLICIT_ACCESS_A e = {};
        e.grfAccessPermissions = mask;
        e.grfAccessMode = SET_ACCESS;
        e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        e.Trustee.ptstrName = reinterpret_cast<LPSTR>(sids[i++].data());
        access.push_back(e);
    }
    PACL acl = nullptr;
    SetEntriesInAclA(static_cast<ULONG>(access.size()), access.data(), nullptr, &acl);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    DWORD size = 0;
    MakeSelfRelativeSD(&sd, nullptr, &size);
    std::vector<BYTE> out(size);
    MakeSelfRelativeSD(&sd, out.data(), &size);
    LocalFree(acl);
    return out;
}

const std::vector<BYTE> kEveryoneFull = Descriptor({{WinWorldSid, 0x1F01FF}});
const std::vector<BYTE> kOwn = Descriptor({{WinWorldSid, 0x1200A9}, {WinBuiltinAdministratorsSid, 0x1F01FF}});
const std::vector<BYTE> kAdminsOnly = Descriptor({{WinBuiltinAdministratorsSid, 0x1F01FF}});

class NtNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        netapi = LoadLibraryA("netapi32.dll");
        // Wine's own copy has none of the stand-in's exports.
        ASSERT_NE(Export<void*>(netapi, "StandInCalls"), nullptr);
        addShare = Export<decltype(addShare)>(netapi, "StandInAddShare");
        descriptor = Export<decltype(descriptor)>(netapi, "StandInShareDescriptor");
        run.seams.shareSecurityLibrary = "advapi_shares.dll";
        Plant();
    }
    // A share of each kind, a value whose data passes 512 bytes, and two
    // administrative shares; no call recorded yet.
    void Plant() {
        Export<void(WINAPI*)()>(netapi, "StandInReset")();
        for (const char* name : {"LONGDATA", "PUBLIC", "PRIVATE", "NOREAD"})
            qt::SetRegString(HKEY_LOCAL_MACHINE, kNtShares, name,
                             std::string(name == std::string("LONGDATA") ? 700 : 20, 'p'));
        addShare(L"PUBLIC", kEveryoneFull.data(), static_cast<DWORD>(kEveryoneFull.size()), TRUE);
        addShare(L"PRIVATE", kOwn.data(), static_cast<DWORD>(kOwn.size()), TRUE);
        addShare(L"NOREAD", kOwn.data(), static_cast<DWORD>(kOwn.size()), FALSE);
        addShare(L"LONGDATA", kOwn.data(), static_cast<DWORD>(kOwn.size()), TRUE);
        addShare(L"C$", kEveryoneFull.data(), static_cast<DWORD>(kEveryoneFull.size()), TRUE);
        addShare(L"D$", kEveryoneFull.data(), static_cast<DWORD>(kEveryoneFull.size()), TRUE);
    }
    void TearDown() override {
        DeleteKeyTree(HKEY_LOCAL_MACHINE, kNtShares);
        FreeLibrary(netapi);
    }
    std::string Calls() { return Export<const char*(WINAPI*)()>(netapi, "StandInCalls")(); }
    void Raise(const char* function) { Export<void(WINAPI*)(const char*)>(netapi, "StandInRaise")(function); }
    std::vector<BYTE> Share(const wchar_t* name) {
        std::vector<BYTE> out(512);
        DWORD size = descriptor(name, out.data(), 512, FALSE);
        out.resize(size == 0xFFFFFFFF ? 0 : size);
        return out;
    }

    HMODULE netapi = nullptr;
    void(WINAPI* addShare)(const wchar_t*, const void*, DWORD, BOOL) = nullptr;
    DWORD(WINAPI* descriptor)(const wchar_t*, void*, DWORD, BOOL) = nullptr;
    ThreatDefinition def = BuiltInDefinition();
    RemovalRun run{def};
    qt::LogCapture sink{run.log};
};

TEST_F(NtNetwork, SharesSecuredOrAdministrativeSharesDeleted) {
    const struct {
        bool fix, deleteAdmin;
        uint32_t found, secured;
        bool publicRestricted, adminSharesLeft;
    } cases[] = {
        {true, false, 4, 6, true, true},
        {false, true, 0, 0, false, false},
        {true, true, 4, 4, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "fix " << c.fix << " delete " << c.deleteAdmin);
        Plant();
        run.options.fixShares = c.fix;
        run.options.deleteAdminShares = c.deleteAdmin;
        EXPECT_TRUE(SecureSharesNt(run));
        EXPECT_EQ(run.sharesFound, c.found);
        EXPECT_EQ(run.sharesSecured, c.secured);
        EXPECT_EQ(Share(L"PUBLIC"), c.publicRestricted ? kAdminsOnly : kEveryoneFull);
        // A share with its own permissions gets them back, also where they
        // could not be read first.
        EXPECT_EQ(Share(L"PRIVATE"), kOwn);
        EXPECT_EQ(Share(L"NOREAD"), kOwn);
        EXPECT_EQ(qt::Count(Calls(), "NetShareSetInfo NOREAD 502\n"), c.fix ? 2u : 0u);
        EXPECT_EQ(Share(L"LONGDATA"), kOwn);
        EXPECT_EQ(Share(L"C$"), c.adminSharesLeft ? kAdminsOnly : std::vector<BYTE>{});
        EXPECT_EQ(qt::Count(Calls(), "NetShareDel "), c.deleteAdmin ? 24u : 0u);
        EXPECT_EQ(qt::Count(Calls(), "NetShareDel Z$ 0\n"), c.deleteAdmin ? 1u : 0u);
        EXPECT_EQ(qt::Count(Calls(), "NetApiBufferFree"), c.secured);   // every block that came back
        EXPECT_EQ(sink.text, "");
    }
}

TEST_F(NtNetwork, NothingHappensWithoutTheKeyOrAFunction) {
    run.options.fixShares = run.options.deleteAdminShares = true;
    ASSERT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, kNtShares));
    EXPECT_FALSE(SecureSharesNt(run));
    // The security functions looked up where SetEntriesInAclA is missing.
    ASSERT_TRUE(qt::SetRegString(HKEY_LOCAL_MACHINE, kNtShares, "PUBLIC", "p"));
    run.seams.shareSecurityLibrary = "netapi32.dll";
    EXPECT_FALSE(SecureSharesNt(run));
    EXPECT_EQ(Calls(), "");
    EXPECT_EQ(run.sharesFound + run.sharesSecured, 0u);
    EXPECT_EQ(Share(L"C$"), kEveryoneFull);
}

TEST_F(NtNetwork, MembersRemovedAndAccountsDisabled) {
    Export<void(WINAPI*)(const wchar_t*, const wchar_t*)>(netapi, "StandInAddMember")(L"Administrators",
                                                                                     L"HOST\\intruder");
    auto addUser = Export<void(WINAPI*)(const wchar_t*, DWORD)>(netapi, "StandInAddUser");
    addUser(L"intruder", UF_SCRIPT | UF_NORMAL_ACCOUNT);
    addUser(L"sleeper", UF_SCRIPT | UF_ACCOUNTDISABLE);
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
    EXPECT_EQ(Export<DWORD(WINAPI*)(const wchar_t*)>(netapi, "StandInUserFlags")(L"intruder"),
              static_cast<DWORD>(UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_ACCOUNTDISABLE));
    EXPECT_NE(Calls().find("NetLocalGroupDelMembers Administrators HOST\\nobody 3 1\n"), std::string::npos);
}

TEST_F(NtNetwork, AFunctionThatRaisesFailsLikeAnyOther) {
    Export<void(WINAPI*)(const wchar_t*, DWORD)>(netapi, "StandInAddUser")(L"intruder", UF_SCRIPT);
    Raise("NetUserSetInfo");
    Raise("NetShareSetInfo");
    DisableAccount(run, L"intruder");
    run.options.fixShares = true;
    EXPECT_TRUE(SecureSharesNt(run));
    EXPECT_EQ(run.sharesFound, 4u);
    EXPECT_EQ(run.sharesSecured, 0u);
    EXPECT_EQ(run.stats.accountsDisabled, 0u);
    EXPECT_EQ(sink.text, "");
    // Every block that came back is freed: the account's and those of
    // the six shares that exist.
    EXPECT_EQ(qt::Count(Calls(), "NetApiBufferFree"), 7u);
}

// --- Share passwords on the 9x family ------------------------------------------------

class Shares9x : public ::testing::Test {
protected:
    void SetUp() override {
        svrapi = LoadLibraryA("svrapi.dll");
        ASSERT_NE(Export<void*>(svrapi, "StandInCalls"), nullptr);   // not Wine's raising stubs
        Export<void(WINAPI*)()>(svrapi, "StandInReset")();
        auto add = Export<void(WINAPI*)(const char*, const char*, const char*)>(svrapi, "StandInAddShare");
        add("PUBLIC", "", "");
        add("RONLY", "", "READ");
        add("X$TRA", "", "");
        add("C$", "", "");
        for (const char* name : {"PUBLIC", "RONLY", "X$TRA", "GONE", "C$"})
            ASSERT_TRUE(qt::SetRegString(HKEY_LOCAL_MACHINE, std::string(k9xShares) + "\\" + name, "Path", "C:\\"));
    }
    void TearDown() override {
        DeleteKeyTree(HKEY_LOCAL_MACHINE, k9xShares);
        FreeLibrary(svrapi);
    }
    std::string Calls() { return Export<const char*(WINAPI*)()>(svrapi, "StandInCalls")(); }
    std::string Passwords(const char* share) {
        return Export<const char*(WINAPI*)(const char*)>(svrapi, "StandInPasswords")(share);
    }

    HMODULE svrapi = nullptr;
    RemovalRun run;
};

TEST_F(Shares9x, PasswordsOnSharesWithoutAndAdministrativeSharesDeleted) {
    char rw[] = "secretpassword", ro[16] = "";
    run.options.fixShares = true;
    EXPECT_TRUE(SecureShares9x(run, rw, ro));
    EXPECT_EQ(run.sharesFound, 3u);     // PUBLIC, RONLY and GONE (no such share)
    EXPECT_EQ(run.sharesSecured, 2u);
    EXPECT_EQ(Passwords("PUBLIC"), "SECRETPA/");
    EXPECT_EQ(Passwords("RONLY"), "/READ");
    EXPECT_EQ(Calls().find("X$TRA"), std::string::npos);
    EXPECT_NE(Calls().find("NetShareSetInfo PUBLIC 50 564 0 SECRETPA/\n"), std::string::npos);
    EXPECT_EQ(qt::Count(Calls(), "NetShareDel"), 0u);

    run.options.fixShares = false;
    run.options.deleteAdminShares = true;
    EXPECT_TRUE(SecureShares9x(run, rw, ro));
    EXPECT_EQ(qt::Count(Calls(), "NetShareDel"), 24u);
    EXPECT_EQ(Passwords("C$"), "");
    EXPECT_FALSE(qt::RegKeyExists(HKEY_LOCAL_MACHINE, std::string(k9xShares) + "\\C$"));
    EXPECT_TRUE(qt::RegKeyExists(HKEY_LOCAL_MACHINE, std::string(k9xShares) + "\\X$TRA"));
}

TEST_F(Shares9x, RaisingLibraryAndMissingKey) {
    char rw[16] = "pw", ro[16] = "";
    run.options.fixShares = true;
    Export<void(WINAPI*)(const char*)>(svrapi, "StandInRaise")("NetShareGetInfo");
    EXPECT_TRUE(SecureShares9x(run, rw, ro));
    EXPECT_EQ(run.sharesFound, 3u);
    EXPECT_EQ(run.sharesSecured, 0u);
    ASSERT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, k9xShares));
    EXPECT_FALSE(SecureShares9x(run, rw, ro));
    EXPECT_EQ(run.sharesFound, 0u);
}

}  // namespace
