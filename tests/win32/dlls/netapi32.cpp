// Stand-in for the NT network library (Wine has no share or account
// management): shares with their security descriptors, local group members
// and accounts, kept in memory and set up by the test through the StandIn*
// exports. Every call is recorded.
#include <windows.h>

#include <lmaccess.h>
#include <lmerr.h>
#include <lmshare.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "standin_calls.h"

namespace {

struct Share {
    std::vector<BYTE> descriptor;   // self-relative; empty: none
    bool readable = true;           // its security can be read (GetNamedSecurityInfo)
};
std::map<std::wstring, Share> g_shares;
std::map<std::wstring, std::vector<std::wstring>> g_groups;
std::map<std::wstring, DWORD> g_users;   // name, flags

// (Wine copies a descriptor that is self-relative already.)
std::vector<BYTE> SelfRelative(PSECURITY_DESCRIPTOR sd) {
    DWORD size = 0;
    if (sd) MakeSelfRelativeSD(sd, nullptr, &size);
    std::vector<BYTE> out(size);
    if (sd && !MakeSelfRelativeSD(sd, out.data(), &size)) return {};
    return out;
}

}  // namespace

void standin::ResetState() {
    g_shares.clear();
    g_groups.clear();
    g_users.clear();
}

extern "C" {

void WINAPI StandInAddShare(const wchar_t* name, const void* sd, DWORD size, BOOL readable) {
    const BYTE* bytes = static_cast<const BYTE*>(sd);
    g_shares[name] = Share{std::vector<BYTE>(bytes, bytes + (sd ? size : 0)), readable != FALSE};
}
// The share's descriptor into out; its size (0: none), 0xFFFFFFFF when the
// share is missing or, for a security read, its security cannot be read.
DWORD WINAPI StandInShareDescriptor(const wchar_t* name, void* out, DWORD size, BOOL securityRead) {
    auto it = g_shares.find(name);
    if (it == g_shares.end() || (securityRead && !it->second.readable)) return 0xFFFFFFFF;
    const std::vector<BYTE>& sd = it->second.descriptor;
    if (out && size >= sd.size()) std::memcpy(out, sd.data(), sd.size());
    return static_cast<DWORD>(sd.size());
}
void WINAPI StandInAddMember(const wchar_t* group, const wchar_t* member) { g_groups[group].push_back(member); }
void WINAPI StandInAddUser(const wchar_t* name, DWORD flags) { g_users[name] = flags; }

NET_API_STATUS WINAPI StandNetShareGetInfo(LPWSTR, LPWSTR name, DWORD level, LPBYTE* buffer) {
    standin::Enter("NetShareGetInfo", standin::Narrow(name) + " " + std::to_string(level));
    *buffer = nullptr;
    auto it = g_shares.find(name);
    if (it == g_shares.end()) return NERR_NetNameNotFound;
    if (level != 502) return ERROR_INVALID_LEVEL;
    const std::vector<BYTE>& sd = it->second.descriptor;
    size_t nameBytes = (std::wcslen(name) + 1) * sizeof(wchar_t);
    BYTE* block = static_cast<BYTE*>(LocalAlloc(LPTR, sizeof(SHARE_INFO_502) + nameBytes + sd.size()));
    auto* info = reinterpret_cast<SHARE_INFO_502*>(block);
    info->shi502_netname = reinterpret_cast<LPWSTR>(block + sizeof(SHARE_INFO_502));
    std::memcpy(info->shi502_netname, name, nameBytes);
    info->shi502_max_uses = 0xFFFFFFFF;
    if (!sd.empty()) {
        info->shi502_security_descriptor = block + sizeof(SHARE_INFO_502) + nameBytes;
        std::memcpy(info->shi502_security_descriptor, sd.data(), sd.size());
    }
    *buffer = block;
    return NERR_Success;
}

NET_API_STATUS WINAPI StandNetShareSetInfo(LPWSTR, LPWSTR name, DWORD level, LPBYTE buffer, LPDWORD) {
    standin::Enter("NetShareSetInfo", standin::Narrow(name) + " " + std::to_string(level));
    auto it = g_shares.find(name);
    if (it == g_shares.end()) return NERR_NetNameNotFound;
    if (level != 502 || !buffer) return ERROR_INVALID_LEVEL;
    it->second.descriptor = SelfRelative(reinterpret_cast<SHARE_INFO_502*>(buffer)->shi502_security_descriptor);
    return NERR_Success;
}

NET_API_STATUS WINAPI StandNetShareDel(LPWSTR, LPWSTR name, DWORD reserved) {
    standin::Enter("NetShareDel", standin::Narrow(name) + " " + std::to_string(reserved));
    return g_shares.erase(name) ? NERR_Success : NERR_NetNameNotFound;
}

NET_API_STATUS WINAPI StandNetApiBufferFree(LPVOID buffer) {
    standin::Enter("NetApiBufferFree", "");
    LocalFree(buffer);
    return NERR_Success;
}

NET_API_STATUS WINAPI StandNetLocalGroupDelMembers(LPCWSTR, LPCWSTR group, DWORD level, LPBYTE buffer, DWORD count) {
    std::wstring member = (level == 3 && count == 1) ? reinterpret_cast<LOCALGROUP_MEMBERS_INFO_3*>(buffer)->lgrmi3_domainandname : L"?";
    standin::Enter("NetLocalGroupDelMembers", standin::Narrow(group) + " " + standin::Narrow(member.c_str()) + " " +
                                                  std::to_string(level) + " " + std::to_string(count));
    auto it = g_groups.find(group);
    if (it == g_groups.end()) return NERR_GroupNotFound;
    for (auto m = it->second.begin(); m != it->second.end(); ++m)
        if (*m == member) {
            it->second.erase(m);
            return NERR_Success;
        }
    return ERROR_MEMBER_NOT_IN_ALIAS;
}

NET_API_STATUS WINAPI StandNetUserGetInfo(LPCWSTR, LPCWSTR name, DWORD level, LPBYTE* buffer) {
    standin::Enter("NetUserGetInfo", standin::Narrow(name) + " " + std::to_string(level));
    *buffer = nullptr;
    auto it = g_users.find(name);
    if (it == g_users.end()) return NERR_UserNotFound;
    auto* info = static_cast<USER_INFO_1*>(LocalAlloc(LPTR, sizeof(USER_INFO_1)));
    info->usri1_flags = it->second;
    info->usri1_priv = USER_PRIV_USER;
    *buffer = reinterpret_cast<LPBYTE>(info);
    return NERR_Success;
}

NET_API_STATUS WINAPI StandNetUserSetInfo(LPCWSTR, LPCWSTR name, DWORD level, LPBYTE buffer, LPDWORD) {
    DWORD flags = buffer ? reinterpret_cast<USER_INFO_1*>(buffer)->usri1_flags : 0;
    standin::Enter("NetUserSetInfo", standin::Narrow(name) + " " + std::to_string(level) + " " + std::to_string(flags));
    auto it = g_users.find(name);
    if (it == g_users.end()) return NERR_UserNotFound;
    it->second = flags;
    return NERR_Success;
}

}  // extern "C"
