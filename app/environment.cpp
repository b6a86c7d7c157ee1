#include "app/environment.h"

#include <aclapi.h>

#include <vector>

namespace {
CleanBootProbe g_cleanBootProbe = nullptr;
AdminProbe g_rightsProbe = nullptr;

// Loads a library for one use and frees it on every path.
class Library {
public:
    explicit Library(const char* name) : m_module(LoadLibraryA(name)) {}
    ~Library() { if (m_module) FreeLibrary(m_module); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    explicit operator bool() const { return m_module != nullptr; }
    template <typename F> F Get(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
    }
private:
    HMODULE m_module;
};

}  // namespace

bool EnablePrivilegeNamed(const char* privilege) {
    if (!g_run.isNtFamily) return true;
    Library advapi("ADVAPI32.DLL");
    if (!advapi) return false;
    auto openToken = advapi.Get<BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE)>("OpenProcessToken");
    auto lookup = advapi.Get<BOOL(WINAPI*)(LPCSTR, LPCSTR, PLUID)>("LookupPrivilegeValueA");
    auto adjust = advapi.Get<BOOL(WINAPI*)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD)>(
        "AdjustTokenPrivileges");
    if (openToken && lookup && adjust) {
        HANDLE token = nullptr;
        if (!openToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
        TOKEN_PRIVILEGES tp = {};
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // The adjustment also "succeeds" when the token does not hold the
        // privilege at all; only the last error tells, and the privilege is
        // then not enabled, so that counts as failure.
        bool ok = lookup("", privilege, &tp.Privileges[0].Luid) &&
                  adjust(token, FALSE, &tp, 0, nullptr, nullptr) && GetLastError() != ERROR_NOT_ALL_ASSIGNED;
        CloseHandle(token);
        if (!ok) return false;
    }
    return true;
}

void SetCleanBootProbe(CleanBootProbe probe) { g_cleanBootProbe = probe; }
void SetRightsProbe(AdminProbe probe) { g_rightsProbe = probe; }

int IdentifyPlatform() {
    OSVERSIONINFOEXA ex = {};
    ex.dwOSVersionInfoSize = sizeof ex;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex))) {
        OSVERSIONINFOA basic = {};
        basic.dwOSVersionInfoSize = sizeof basic;
        if (!GetVersionExA(&basic)) return 0;
        return ClassifyPlatform(basic.dwPlatformId, basic.dwMajorVersion, basic.dwMinorVersion, g_run);
    }
    return ClassifyPlatform(ex.dwPlatformId, ex.dwMajorVersion, ex.dwMinorVersion, g_run);
}

int CheckBootMode(uint32_t requiredMode) {
    int current = g_cleanBootProbe ? g_cleanBootProbe() : GetSystemMetrics(SM_CLEANBOOT);
    return BootModeAllowed(requiredMode, static_cast<uint32_t>(current));
}

int ReadRegistryString(HKEY root, const char* subKey, const char* valueName, char* buffer) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return 0;
    DWORD size = 1024;
    LONG rc = RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

DWORD IsUserAdministrator(int* isAdmin) {
    Library advapi("advapi32.dll");
    if (!advapi) return 0;
    auto setEntries = advapi.Get<void*>("SetEntriesInAclA");
    auto initSd = advapi.Get<void*>("InitializeSecurityDescriptor");
    auto setDacl = advapi.Get<void*>("SetSecurityDescriptorDacl");
    auto allocSid = advapi.Get<BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                             DWORD, DWORD, PSID*)>("AllocateAndInitializeSid");
    auto openToken = advapi.Get<BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE)>("OpenProcessToken");
    auto getInfo = advapi.Get<BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD)>(
        "GetTokenInformation");
    auto freeSid = advapi.Get<PVOID(WINAPI*)(PSID)>("FreeSid");
    auto equalSid = advapi.Get<BOOL(WINAPI*)(PSID, PSID)>("EqualSid");
    auto lookupSid = advapi.Get<BOOL(WINAPI*)(LPCSTR, PSID, LPSTR, LPDWORD, LPSTR, LPDWORD, PSID_NAME_USE)>(
        "LookupAccountSidA");
    if (!setEntries || !initSd || !setDacl || !allocSid || !openToken || !getInfo || !freeSid || !equalSid ||
        !lookupSid)
        return 0;
    if (!isAdmin) return ERROR_INVALID_PARAMETER;

    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
    if (!process) return GetLastError();
    HANDLE token = nullptr;
    if (!openToken(process, TOKEN_QUERY, &token)) {
        DWORD err = GetLastError();
        CloseHandle(process);
        return err;
    }
    DWORD size = 0;
    getInfo(token, TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> groupsBuffer(size ? size : 1, 0);
    DWORD err = 0;
    if (!size || !getInfo(token, TokenGroups, groupsBuffer.data(), size, &size)) {
        err = GetLastError();
        if (!err) err = ERROR_INVALID_DATA;
        CloseHandle(token);
        CloseHandle(process);
        return err;
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!allocSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins)) {
        err = GetLastError();
        CloseHandle(token);
        CloseHandle(process);
        return err;
    }
    *isAdmin = 0;
    auto* groups = reinterpret_cast<TOKEN_GROUPS*>(groupsBuffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        char name[520], domain[520];
        DWORD nameSize = 520, domainSize = 520;
        SID_NAME_USE use;
        if (lookupSid(nullptr, groups->Groups[i].Sid, name, &nameSize, domain, &domainSize, &use) &&
            equalSid(groups->Groups[i].Sid, admins) && (groups->Groups[i].Attributes & SE_GROUP_ENABLED))
            *isAdmin = 1;
    }
    freeSid(admins);
    CloseHandle(token);
    CloseHandle(process);
    return 0;
}

bool EnableDebugPrivilege() { return EnablePrivilegeNamed("SeDebugPrivilege"); }
bool EnableShutdownPrivilege() { return EnablePrivilegeNamed("SeShutdownPrivilege"); }

bool CheckAdministratorRights() {
    if (g_rightsProbe) return g_rightsProbe();
    int admin = 0;
    IsUserAdministrator(&admin);
    return admin && EnableDebugPrivilege();
}

void RequestSystemRestart() {
    // SHTDN_REASON_MAJOR_OTHER | SHTDN_REASON_MINOR_SECURITY
    ExitWindowsEx(EWX_REBOOT, 0x13);
}
