#include "app/environment.h"

#include <aclapi.h>

#include <vector>

#include "procs/threats.h"
#include "ps/win32/system_functions.h"
#include "win32/unique_handle.h"

namespace {

// Loads a library for one use and frees it on every path.
class Library {
public:
    explicit Library(const char* name) : m_module(LoadLibraryA(name)) {}
    explicit operator bool() const { return m_module.valid(); }
    template <typename F> F Get(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_module.get(), name)));
    }
private:
    win32::UniqueModule m_module;
};

}  // namespace

bool EnablePrivilegeNamed(bool ntFamily, const char* privilege) {
    // Off the NT family there are no privileges to enable.
    return !ntFamily || EnablePrivilege(privilege, true);
}

int IdentifyPlatform(RunFlags& flags) {
    OSVERSIONINFOEXA ex = {};
    ex.dwOSVersionInfoSize = sizeof ex;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex))) {
        OSVERSIONINFOA basic = {};
        basic.dwOSVersionInfoSize = sizeof basic;
        if (!GetVersionExA(&basic)) return 0;
        return ClassifyPlatform(basic.dwPlatformId, basic.dwMajorVersion, basic.dwMinorVersion, flags);
    }
    return ClassifyPlatform(ex.dwPlatformId, ex.dwMajorVersion, ex.dwMinorVersion, flags);
}

int CheckBootMode(uint32_t requiredMode) {
    int current = dyn_GetSystemMetrics(SM_CLEANBOOT);
    return BootModeAllowed(requiredMode, static_cast<uint32_t>(current));
}

int ReadRegistryString(HKEY root, const char* subKey, const char* valueName, char* buffer) {
    win32::UniqueKey key;
    if (RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return 0;
    DWORD size = 1024;
    return RegQueryValueExA(key.get(), valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
           ERROR_SUCCESS;
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

    UniqueBoundHandle process(dyn_OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId()));
    if (!process) return GetLastError();
    win32::UniqueKernelHandle token;
    if (!openToken(process.get(), TOKEN_QUERY, token.put())) return GetLastError();
    DWORD size = 0;
    getInfo(token.get(), TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> groupsBuffer(size ? size : 1, 0);
    if (!size || !getInfo(token.get(), TokenGroups, groupsBuffer.data(), size, &size)) {
        DWORD err = GetLastError();
        return err ? err : ERROR_INVALID_DATA;
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!allocSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins))
        return GetLastError();
    win32::ScopeGuard releaseSid([&] { freeSid(admins); });
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
    return 0;
}

bool EnableDebugPrivilege(bool ntFamily) { return EnablePrivilegeNamed(ntFamily, "SeDebugPrivilege"); }
bool EnableShutdownPrivilege(bool ntFamily) { return EnablePrivilegeNamed(ntFamily, "SeShutdownPrivilege"); }

Rights CheckAdministratorRights(bool ntFamily) {
    int admin = 0;
    IsUserAdministrator(&admin);
    if (!admin) return Rights::Refused;
    if (!ntFamily) return Rights::Administrator;
    // Being an administrator is what counts: without the debug privilege
    // only other users' processes may stay out of reach.
    switch (ChangePrivilege("SeDebugPrivilege", true)) {
        case PrivilegeChange::Changed: return Rights::Administrator;
        case PrivilegeChange::NotHeld: return Rights::AdministratorWithoutDebugPrivilege;
        default: return Rights::Refused;
    }
}

void RequestSystemRestart() {
    // SHTDN_REASON_MAJOR_OTHER | SHTDN_REASON_MINOR_SECURITY
    ExitWindowsEx(EWX_REBOOT, 0x13);
}
