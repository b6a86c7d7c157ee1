#include "fix/registry.h"

#include <cstring>

#include "run/dry_run_core.h"
#include "run/run_context.h"
#include "fix/fix_lists_core.h"
#include "fix/registry_core.h"
#include "procs/threats.h"
#include "ps/win32/system_functions.h"
#include "win32/unique_handle.h"

namespace {

using regcore::kRegistryTextBytes;
using win32::UniqueKey;

const char kProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// The live registry as the fix lists see it.
class Win32Key : public regfix::RegistryKey {
public:
    // dryRun: the key is open for reading only, and a change is reported as
    // made when it could be (the value is there) but never made.
    Win32Key(UniqueKey key, bool dryRun) : m_key(std::move(key)), m_dryRun(dryRun) {}
    bool FirstValueName(std::string& name) override {
        char first[kRegistryTextBytes] = {};
        DWORD length = sizeof first;
        if (RegEnumValueA(m_key.get(), 0, first, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        name.assign(first, length);
        return true;
    }
    // The value as it is, whatever its size; a value that keeps growing
    // between the queries is left alone.
    bool Read(const char* name, uint32_t& type, std::vector<uint8_t>& data) override {
        data.clear();
        DWORD kind = 0, size = 0;
        LONG result = ERROR_MORE_DATA;
        for (int attempt = 0; attempt < 8; ++attempt) {
            size = static_cast<DWORD>(data.size());
            result = RegQueryValueExA(m_key.get(), name, nullptr, &kind, data.empty() ? nullptr : data.data(), &size);
            if ((result != ERROR_SUCCESS && result != ERROR_MORE_DATA) || data.size() >= size) break;
            data.resize(size);
        }
        if (result != ERROR_SUCCESS || size > data.size()) return false;
        data.resize(size);
        type = kind;
        return true;
    }
    bool Write(const char* name, uint32_t type, const uint8_t* data, size_t size) override {
        if (m_dryRun) return true;
        return dyn_RegSetValueExA(m_key.get(), name, 0, type, data, static_cast<DWORD>(size)) == ERROR_SUCCESS;
    }
    bool DeleteValue(const char* name) override {
        if (m_dryRun) return RegQueryValueExA(m_key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        return RegDeleteValueA(m_key.get(), name) == ERROR_SUCCESS;
    }

private:
    UniqueKey m_key;
    bool m_dryRun;
};

class Win32Store : public regfix::RegistryStore {
public:
    explicit Win32Store(RemovalRun& run) : m_run(run) {}
    std::vector<std::string> UserKeys() override { return SubkeyNames(HKEY_USERS); }
    // On the NT family every listed profile is visited again; profiles whose
    // hive is loaded are thus visited twice and the second visit finds
    // nothing left to do.
    std::vector<std::string> SweepKeys() override {
        if (!m_run.flags.isNtFamily) return {};
        UniqueKey profiles;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_ENUMERATE_SUB_KEYS, profiles.put()) !=
            ERROR_SUCCESS)
            return {};
        return SubkeyNames(profiles.get());
    }
    // A key that is there but refuses access is handed to the Administrators
    // first, as the key-tree deletion does.
    std::unique_ptr<regfix::RegistryKey> Open(uintptr_t root, const std::string& subPath) override {
        const HKEY parent = reinterpret_cast<HKEY>(root);
        UniqueKey key;
        if (m_run.options.dryRun) {
            // A key's security is a change too: a dry run only reads.
            LONG r = RegOpenKeyExA(parent, subPath.c_str(), 0, KEY_READ, key.put());
            m_refused = r == ERROR_ACCESS_DENIED;
            if (r != ERROR_SUCCESS) return nullptr;
            return std::make_unique<Win32Key>(std::move(key), true);
        }
        LONG r = RegOpenKeyExA(parent, subPath.c_str(), 0, KEY_ALL_ACCESS, key.put());
        if (r == ERROR_ACCESS_DENIED && GrantAdministratorsKeyAccess(parent, subPath.c_str()))
            r = RegOpenKeyExA(parent, subPath.c_str(), 0, KEY_ALL_ACCESS, key.put());
        m_refused = r == ERROR_ACCESS_DENIED;
        if (r != ERROR_SUCCESS) return nullptr;
        return std::make_unique<Win32Key>(std::move(key), false);
    }
    bool LastOpenRefused() const override { return m_refused; }
    bool DeleteKeyTree(uintptr_t root, const std::string& subPath) override {
        if (m_run.options.dryRun) {
            UniqueKey key;
            return RegOpenKeyExA(reinterpret_cast<HKEY>(root), subPath.c_str(), 0, KEY_READ, key.put()) ==
                   ERROR_SUCCESS;
        }
        return ::DeleteKeyTree(reinterpret_cast<HKEY>(root), subPath.c_str());
    }

private:
    RemovalRun& m_run;
    bool m_refused = false;
};

// The hive file of one listed profile: its expanded ProfileImagePath, with
// "\ntuser.dat" when that names a folder; empty when it is not recorded.
std::string ProfileHivePath(const std::string& profile) {
    std::string keyPath;
    if (!regcore::JoinKeyPath(kProfileList, profile.c_str(), keyPath)) return {};
    UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return {};
    char raw[kRegistryTextBytes + 1] = {};
    DWORD size = kRegistryTextBytes;
    if (RegQueryValueExA(key.get(), "ProfileImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(raw), &size) !=
        ERROR_SUCCESS)
        return {};
    char expanded[kRegistryTextBytes] = {};
    DWORD n = ExpandEnvironmentStringsA(raw, expanded, sizeof expanded);
    if (n == 0 || n > sizeof expanded) return {};
    std::string path = expanded;
    DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) path += "\\ntuser.dat";
    return path;
}

}  // namespace

std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    char name[kRegistryTextBytes];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

// A dry run's registry lines: each fix the lists report goes to the run's
// log in its "(dry run) would be ..." form.
class DryRunLines : public LogSink {
public:
    explicit DryRunLines(RunLog& log) : m_log(log) {}
    void Write(const char* bytes, size_t length) override {
        std::string line(bytes, length);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        m_log.Line(UnmadeRegistryLine(line, UnmadeChange::DryRun).c_str());
    }

private:
    RunLog& m_log;
};

void RunRegistryPass(RemovalRun& run) {
    const ThreatDefinition& def = *run.def;
    if (run.options.dryRun) {
        // Loading a profile's hive writes to it: a dry run sees the hives
        // that are loaded already.
        Win32Store store(run);
        RunLog dry;
        DryRunLines lines(run.log);
        dry.SetSink(&lines);
        regfix::ApplyFixLists(def, store, dry, run.stats.registryEntriesFixed, &run.stats.registryEntriesNotFixed);
        dry.SetSink(nullptr);
        return;
    }
    std::vector<std::string> loaded;
    LoadProfileHives(true, run.flags.isNtFamily, loaded);
    // The hives go back however the lists end.
    win32::ScopeGuard unload([&] { LoadProfileHives(false, run.flags.isNtFamily, loaded); });

    Win32Store store(run);
    regfix::ApplyFixLists(def, store, run.log, run.stats.registryEntriesFixed, &run.stats.registryEntriesNotFixed);
}

bool DeleteKeyTree(HKEY parent, const char* subPath) {
    bool granted = false;
    UniqueKey key;
    for (;;) {
        LONG r = RegOpenKeyExA(parent, subPath, 0, DELETE | KEY_ENUMERATE_SUB_KEYS, key.put());
        if (r == ERROR_ACCESS_DENIED && !granted && GrantAdministratorsKeyAccess(parent, subPath)) {
            granted = true;
            continue;
        }
        break;
    }
    if (key) {
        char name[256];
        for (;;) {
            DWORD length = sizeof name;
            if (RegEnumKeyExA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            if (!DeleteKeyTree(key.get(), name)) break;
        }
        key.reset();
    }
    return RegDeleteKeyA(parent, subPath) == ERROR_SUCCESS;
}

bool GrantAdministratorsKeyAccess(HKEY parent, const char* subPath) {
    UniqueKey key;
    if (RegOpenKeyExA(parent, subPath, 0, WRITE_DAC, key.put()) != ERROR_SUCCESS) return false;
    win32::UniqueModule advapi(LoadLibraryA("advapi32.dll"));
    if (!advapi) return false;
    auto get = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(advapi.get(), name)); };
    auto initializeSd = reinterpret_cast<BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD)>(get("InitializeSecurityDescriptor"));
    auto setDacl = reinterpret_cast<BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL)>(
        get("SetSecurityDescriptorDacl"));
    auto allocateSid = reinterpret_cast<BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD,
                                                      DWORD, DWORD, DWORD, DWORD, PSID*)>(
        get("AllocateAndInitializeSid"));
    auto initializeAcl = reinterpret_cast<BOOL(WINAPI*)(PACL, DWORD, DWORD)>(get("InitializeAcl"));
    auto addAllowed = reinterpret_cast<BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID)>(get("AddAccessAllowedAce"));
    auto freeSid = reinterpret_cast<PVOID(WINAPI*)(PSID)>(get("FreeSid"));
    if (!initializeSd || !setDacl || !allocateSid || !initializeAcl || !addAllowed || !freeSid) return false;

    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!allocateSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins))
        return false;
    win32::ScopeGuard sidGuard([&] { freeSid(admins); });
    // One ACE: the ACL header (8), the ACE header and mask (8) and the SID,
    // with room to spare.
    DWORD aclSize = GetLengthSid(admins) + 20;
    HANDLE heap = GetProcessHeap();
    PACL acl = static_cast<PACL>(HeapAlloc(heap, HEAP_ZERO_MEMORY, aclSize));
    if (!acl) return false;
    win32::ScopeGuard aclGuard([&] { HeapFree(heap, 0, acl); });
    SECURITY_DESCRIPTOR sd;
    if (!initializeAcl(acl, aclSize, ACL_REVISION) || !addAllowed(acl, ACL_REVISION, KEY_ALL_ACCESS, admins) ||
        !initializeSd(&sd, SECURITY_DESCRIPTOR_REVISION) || !setDacl(&sd, TRUE, acl, FALSE))
        return false;
    return RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &sd) == ERROR_SUCCESS;
}

void LoadProfileHives(bool load, bool ntFamily, std::vector<std::string>& loaded) {
    if (!ntFamily) return;
    if (!load) {
        for (const std::string& name : loaded) {
            if (!EnablePrivilege("SeRestorePrivilege", true)) continue;
            dyn_RegUnLoadKeyA(HKEY_USERS, name.c_str());
            EnablePrivilege("SeRestorePrivilege", false);
        }
        loaded.clear();
        return;
    }
    UniqueKey profiles;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_ENUMERATE_SUB_KEYS, profiles.put()) != ERROR_SUCCESS)
        return;
    for (const std::string& profile : SubkeyNames(profiles.get())) {
        std::string hive = ProfileHivePath(profile);
        if (hive.empty() || !EnablePrivilege("SeRestorePrivilege", true)) continue;
        if (RegLoadKeyA(HKEY_USERS, profile.c_str(), hive.c_str()) == ERROR_SUCCESS) loaded.push_back(profile);
        EnablePrivilege("SeRestorePrivilege", false);
    }
}
