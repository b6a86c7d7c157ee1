#include "fix/accounts.h"

#include <windows.h>
#include <lm.h>

#include <string>

#include "run/run_context.h"
#include "fix/net_library.h"
#include "run/native_path.h"

namespace {

constexpr size_t kMaxLogNameBytes = 260;

std::string LogName(const wchar_t* name) {
    std::string text;
    AnsiFromWide(name, text);
    if (text.size() > kMaxLogNameBytes) text.resize(kMaxLogNameBytes);
    return text;
}

}  // namespace

void RemoveGroupMember(RemovalRun& run, const wchar_t* member, const wchar_t* group) {
    NetLibrary netapi("netapi32.dll");
    NET_API_STATUS(WINAPI * delMembers)(LPCWSTR, LPCWSTR, DWORD, LPBYTE, DWORD);
    netapi.Bind(delMembers, "NetLocalGroupDelMembers");
    if (!netapi.complete()) return;
    LOCALGROUP_MEMBERS_INFO_3 entry = {const_cast<LPWSTR>(member)};
    if (NetCall([&] { return delMembers(nullptr, group, 3, reinterpret_cast<LPBYTE>(&entry), 1); }) != NERR_Success)
        return;
    run.log.Format("The member \"%s\" was removed from the local group \"%s\".\r\n", LogName(member).c_str(),
                   LogName(group).c_str());
    ++run.stats.groupMembersRemoved;
}

void DisableAccount(RemovalRun& run, const wchar_t* account) {
    NetLibrary netapi("netapi32.dll");
    NET_API_STATUS(WINAPI * getInfo)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
    NET_API_STATUS(WINAPI * setInfo)(LPCWSTR, LPCWSTR, DWORD, LPBYTE, LPDWORD);
    NET_API_STATUS(WINAPI * bufferFree)(LPVOID);
    netapi.Bind(getInfo, "NetUserGetInfo");
    netapi.Bind(setInfo, "NetUserSetInfo");
    netapi.Bind(bufferFree, "NetApiBufferFree");
    if (!netapi.complete()) return;
    USER_INFO_1* info = nullptr;
    NetCall([&] { return getInfo(nullptr, account, 1, reinterpret_cast<LPBYTE*>(&info)); });
    if (!info) return;
    // The other flags stay; an account already disabled is written (and logged) again.
    info->usri1_flags |= UF_ACCOUNTDISABLE;
    bool disabled = NetCall([&] { return setInfo(nullptr, account, 1, reinterpret_cast<LPBYTE>(info), nullptr); }) ==
                    NERR_Success;
    NetCall([&] { return bufferFree(info); });
    if (!disabled) return;
    run.log.Format("The account \"%s\" has been disabled.\r\n", LogName(account).c_str());
    ++run.stats.accountsDisabled;
}

void RemoveGroupMembers(RemovalRun& run) {
    for (const ThreatGroupMember* entry = run.def->groupMemberRemovalList; entry && entry->member; ++entry)
        RemoveGroupMember(run, entry->member, entry->group);
}

void DisableAccounts(RemovalRun& run) {
    for (const wchar_t* const* account = run.def->accountDisableList; account && *account; ++account)
        DisableAccount(run, *account);
}
