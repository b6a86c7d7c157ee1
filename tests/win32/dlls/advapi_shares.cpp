// Stand-in for the security functions the share securing looks up, for a
// machine whose shares live in the netapi32 stand-in: Wine reads no share's
// security and reports explicit entries by SID. This library reads the
// share's descriptor from the netapi32 stand-in and reports the Everyone
// group by name, as the NT systems of its time do; the other five exports
// are forwarded to the system's (advapi_shares.def).
#include <windows.h>
#include <aclapi.h>

#include <cstring>

namespace {

bool IsEveryone(PSID sid) {
    SID world = {SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}};
    return EqualSid(sid, &world) != FALSE;
}

char g_everyone[] = "Everyone";

}  // namespace

extern "C" {

DWORD WINAPI StandGetNamedSecurityInfoA(LPSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION, PSID* owner,
                                        PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    if (owner) *owner = nullptr;
    if (group) *group = nullptr;
    if (dacl) *dacl = nullptr;
    if (sacl) *sacl = nullptr;
    if (descriptor) *descriptor = nullptr;
    using Reader = DWORD(WINAPI*)(const wchar_t*, void*, DWORD, BOOL);
    auto read = reinterpret_cast<Reader>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("netapi32.dll"), "StandInShareDescriptor")));
    if (type != SE_LMSHARE || !read || !descriptor) return ERROR_INVALID_PARAMETER;
    wchar_t wide[300] = {};
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 299);
    DWORD size = read(wide, nullptr, 0, TRUE);
    if (size == 0xFFFFFFFF) return ERROR_ACCESS_DENIED;
    if (size == 0) return ERROR_SUCCESS;
    *descriptor = LocalAlloc(LPTR, size);
    read(wide, *descriptor, size, TRUE);
    BOOL present = FALSE, defaulted = FALSE;
    if (dacl) GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    return ERROR_SUCCESS;
}

// One entry per access-allowed entry of the ACL, in one LocalAlloc block.
DWORD WINAPI StandGetExplicitEntriesFromAclA(PACL acl, PULONG count, PEXPLICIT_ACCESS_A* entries) {
    *count = 0;
    *entries = nullptr;
    ACL_SIZE_INFORMATION info = {};
    if (!acl || !GetAclInformation(acl, &info, sizeof info, AclSizeInformation)) return ERROR_INVALID_PARAMETER;
    if (info.AceCount == 0) return ERROR_SUCCESS;
    auto* out = static_cast<EXPLICIT_ACCESS_A*>(LocalAlloc(LPTR, info.AceCount * sizeof(EXPLICIT_ACCESS_A)));
    for (DWORD i = 0; i < info.AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&ace))) continue;
        EXPLICIT_ACCESS_A& e = out[(*count)++];
        PSID sid = &ace->SidStart;
        e.grfAccessPermissions = ace->Mask;
        e.grfAccessMode = ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? SET_ACCESS : DENY_ACCESS;
        e.grfInheritance = ace->Header.AceFlags & VALID_INHERIT_FLAGS;
        if (IsEveryone(sid)) {
            e.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
            e.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
            e.Trustee.ptstrName = g_everyone;
        } else {
            e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
            e.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
            e.Trustee.ptstrName = static_cast<LPSTR>(sid);   // lives as long as the ACL
        }
    }
    *entries = out;
    return ERROR_SUCCESS;
}

}  // extern "C"
