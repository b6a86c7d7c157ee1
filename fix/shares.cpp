#include "fix/shares.h"

#include <windows.h>
#include <aclapi.h>
#include <lm.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "run/run_context.h"
#include "fix/net_library.h"
#include "fix/shares_core.h"
#include "run/native_path.h"

namespace {

const char kNtSharesKey[] = "SYSTEM\\CurrentControlSet\\Services\\lanmanserver\\Shares";
const char k9xSharesKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Network\\LanMan\\";
constexpr DWORD kShareFullAccess = 0x1F01FF;
constexpr DWORD kShareSecurityParts = DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;   // 0x0C
constexpr size_t kMaxShareNameChars = 261;

// NT: the server functions of netapi32 and the security functions of advapi32.
struct NtShareApi {
    NET_API_STATUS(WINAPI* getInfo)(LPWSTR, LPWSTR, DWORD, LPBYTE*);
    NET_API_STATUS(WINAPI* setInfo)(LPWSTR, LPWSTR, DWORD, LPBYTE, LPDWORD);
    NET_API_STATUS(WINAPI* del)(LPWSTR, LPWSTR, DWORD);
    NET_API_STATUS(WINAPI* bufferFree)(LPVOID);
    DWORD(WINAPI* setEntriesInAcl)(ULONG, PEXPLICIT_ACCESS_A, PACL, PACL*);
    BOOL(WINAPI* initializeSd)(PSECURITY_DESCRIPTOR, DWORD);
    BOOL(WINAPI* setSdDacl)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
    BOOL(WINAPI* allocateSid)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                              PSID*);
    DWORD(WINAPI* getNamedSecurity)(LPSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                    PSECURITY_DESCRIPTOR*);
    DWORD(WINAPI* getExplicitEntries)(PACL, PULONG, PEXPLICIT_ACCESS_A*);
    PVOID(WINAPI* freeSid)(PSID);
};

// The descriptor that leaves a share to the local Administrators only.
class AdminsOnlyDescriptor {
public:
    explicit AdminsOnlyDescriptor(const NtShareApi& api) : m_api(api) {}
    ~AdminsOnlyDescriptor() {
        if (m_sd) LocalFree(m_sd);
        if (m_acl) LocalFree(m_acl);
        if (m_sid) m_api.freeSid(m_sid);
    }
    AdminsOnlyDescriptor(const AdminsOnlyDescriptor&) = delete;
    AdminsOnlyDescriptor& operator=(const AdminsOnlyDescriptor&) = delete;

    // Failures are told on standard output, not in the log.
    bool Build() {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        if (!m_api.allocateSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &m_sid))
            return Fail("AllocateAndInitializeSid Error %u\n", GetLastError());
        EXPLICIT_ACCESS_A entry = {};
        entry.grfAccessPermissions = kShareFullAccess;
        entry.grfAccessMode = SET_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        entry.Trustee.ptstrName = static_cast<LPSTR>(m_sid);
        if (DWORD error = m_api.setEntriesInAcl(1, &entry, nullptr, &m_acl)) return Fail("SetEntriesInAcl Error %u\n", error);
        m_sd = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
        if (!m_sd) return Fail("LocalAlloc Error %u\n", GetLastError());
        if (!m_api.initializeSd(m_sd, SECURITY_DESCRIPTOR_REVISION))
            return Fail("InitializeSecurityDescriptor Error %u\n", GetLastError());
        if (!m_api.setSdDacl(m_sd, TRUE, m_acl, FALSE)) return Fail("SetSecurityDescriptorDacl Error %u\n", GetLastError());
        return true;
    }
    PSECURITY_DESCRIPTOR get() const { return m_sd; }

private:
    static bool Fail(const char* format, DWORD error) {
        std::printf(format, static_cast<unsigned>(error));
        std::fflush(stdout);
        return false;
    }
    const NtShareApi& m_api;
    PSID m_sid = nullptr;
    PACL m_acl = nullptr;
    PSECURITY_DESCRIPTOR m_sd = nullptr;
};

// A share is open to everyone when its DACL holds exactly one explicit
// entry: full control set for the well-known group "Everyone" by name.
bool OpenToEveryone(const NtShareApi& api, PACL dacl) {
    if (!dacl) return false;
    ULONG count = 0;
    EXPLICIT_ACCESS_A* entries = nullptr;
    if (api.getExplicitEntries(dacl, &count, &entries) != ERROR_SUCCESS) return false;
    bool open = count == 1 && entries && entries[0].grfAccessPermissions == kShareFullAccess &&
                entries[0].grfAccessMode == SET_ACCESS && entries[0].Trustee.TrusteeForm == TRUSTEE_IS_NAME &&
                entries[0].Trustee.TrusteeType == TRUSTEE_IS_WELL_KNOWN_GROUP && entries[0].Trustee.ptstrName &&
                std::strcmp(entries[0].Trustee.ptstrName, "Everyone") == 0;
    if (entries) LocalFree(entries);
    return open;
}

// Writes `descriptor` into the share at level 502; `restore` (when not null)
// is written afterwards, its result ignored. True when the first write took.
bool WriteShareSecurity(const NtShareApi& api, wchar_t* share, PSECURITY_DESCRIPTOR descriptor,
                        PSECURITY_DESCRIPTOR restore, bool restoreOwn) {
    SHARE_INFO_502* info = nullptr;
    if (NetCall([&] { return api.getInfo(nullptr, share, 502, reinterpret_cast<LPBYTE*>(&info)); }) != NERR_Success ||
        !info)
        return false;
    PSECURITY_DESCRIPTOR own = info->shi502_security_descriptor;
    auto write = [&](PSECURITY_DESCRIPTOR sd) {
        info->shi502_security_descriptor = sd;
        return NetCall([&] { return api.setInfo(nullptr, share, 502, reinterpret_cast<LPBYTE>(info), nullptr); }) ==
               NERR_Success;
    };
    bool secured = write(descriptor);
    if (restore || restoreOwn) write(restore ? restore : own);
    info->shi502_security_descriptor = own;   // the library frees its own block
    NetCall([&] { return api.bufferFree(info); });
    return secured;
}

// Every value of the Shares key names a share. A name too long for a share
// is passed over; the values' data is not needed (and may be any length).
template <typename F>
void ForEachShareValue(HKEY key, F&& f) {
    for (DWORD index = 0;; ++index) {
        char name[kMaxShareNameChars + 1];
        DWORD length = sizeof name;
        LONG rc = RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        f(name);
    }
}

bool SecureNt(RemovalRun& run) {
    NtShareApi api = {};
    NetLibrary netapi("netapi32.dll");
    netapi.Bind(api.getInfo, "NetShareGetInfo");
    netapi.Bind(api.setInfo, "NetShareSetInfo");
    netapi.Bind(api.del, "NetShareDel");
    netapi.Bind(api.bufferFree, "NetApiBufferFree");
    NetLibrary security("advapi32.dll");
    security.Bind(api.setEntriesInAcl, "SetEntriesInAclA");
    security.Bind(api.initializeSd, "InitializeSecurityDescriptor");
    security.Bind(api.setSdDacl, "SetSecurityDescriptorDacl");
    security.Bind(api.allocateSid, "AllocateAndInitializeSid");
    security.Bind(api.getNamedSecurity, "GetNamedSecurityInfoA");
    security.Bind(api.getExplicitEntries, "GetExplicitEntriesFromAclA");
    security.Bind(api.freeSid, "FreeSid");
    if (!netapi.complete() || !security.complete()) return false;

    win32::UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNtSharesKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    const bool fixShares = run.options.fixShares;
    const bool deleteAdmin = run.options.deleteAdminShares;
    AdminsOnlyDescriptor admins(api);
    if ((fixShares || !deleteAdmin) && !admins.Build()) return false;

    if (fixShares) {
        ForEachShareValue(key.get(), [&](char* name) {
            ++run.sharesFound;
            std::wstring wide;
            WideFromAnsi(name, wide);
            PSECURITY_DESCRIPTOR previous = nullptr;
            PACL dacl = nullptr, sacl = nullptr;
            bool read = api.getNamedSecurity(name, SE_LMSHARE, kShareSecurityParts, nullptr, nullptr, &dacl, &sacl,
                                             &previous) == ERROR_SUCCESS;
            // Only a share that was open to everyone stays restricted; any
            // other gets its permissions back. Where they could not be read,
            // the share's own descriptor as the server gave it is put back
            // (writing none would open the share to everyone).
            bool everyone = read && OpenToEveryone(api, dacl);
            if (WriteShareSecurity(api, wide.data(), admins.get(), everyone ? nullptr : previous, !everyone))
                ++run.sharesSecured;
            if (previous) LocalFree(previous);
        });
    }
    key.reset();

    for (wchar_t drive = L'C'; drive <= L'Z'; ++drive) {
        wchar_t share[] = {drive, L'$', 0};
        if (deleteAdmin)
            NetCall([&] { return api.del(nullptr, share, 0); });
        else if (WriteShareSecurity(api, share, admins.get(), nullptr, false))
            ++run.sharesSecured;
    }
    return true;
}

bool Secure9x(RemovalRun& run, const char* readWrite, const char* readOnly) {
    using GetInfo = unsigned(WINAPI*)(const char*, const char*, short, char*, unsigned short, unsigned short*);
    using SetInfo = unsigned(WINAPI*)(const char*, const char*, short, const char*, unsigned short, short);
    using Del = unsigned(WINAPI*)(const char*, const char*, unsigned short);
    GetInfo getInfo;
    SetInfo setInfo;
    Del del;
    NetLibrary svrapi("svrapi.dll");
    svrapi.Bind(getInfo, "NetShareGetInfo");
    svrapi.Bind(setInfo, "NetShareSetInfo");
    svrapi.Bind(del, "NetShareDel");
    if (!svrapi.complete()) return false;

    win32::UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, k9xSharesKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    if (run.options.fixShares) {
        for (DWORD index = 0;; ++index) {
            char name[kMaxShareNameChars + 1];
            LONG rc = RegEnumKeyA(key.get(), index, name, sizeof name);
            if (rc == ERROR_MORE_DATA) continue;
            if (rc != ERROR_SUCCESS) break;
            if (IsDollarShareName(name)) continue;
            ++run.sharesFound;
            char record[kShareRecord50Bytes] = {};
            unsigned short available = 0;
            if (NetCall([&] { return getInfo(nullptr, name, 50, record, sizeof record, &available); }) != 0) continue;
            // The copy's remark and path still point into `record`.
            char copy[kShareRecord50Bytes];
            std::memcpy(copy, record, sizeof copy);
            ApplySharePasswords(reinterpret_cast<uint8_t*>(copy), readWrite, readOnly);
            if (NetCall([&] { return setInfo(nullptr, name, 50, copy, sizeof copy, 0); }) == 0) ++run.sharesSecured;
        }
    }
    if (run.options.deleteAdminShares) {
        for (char drive = 'C'; drive <= 'Z'; ++drive) {
            char share[] = {drive, '$', 0};
            NetCall([&] { return del(nullptr, share, 0); });
            RegDeleteKeyA(key.get(), share);
        }
    }
    return true;
}

}  // namespace

bool SecureSharesNt(RemovalRun& run) {
    run.sharesFound = 0;
    run.sharesSecured = 0;
    return SecureNt(run);
}

bool SecureShares9x(RemovalRun& run, char* readWritePassword, char* readOnlyPassword) {
    run.sharesFound = 0;
    run.sharesSecured = 0;
    return Secure9x(run, readWritePassword, readOnlyPassword);
}
