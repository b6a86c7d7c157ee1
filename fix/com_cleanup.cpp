#include "fix/com_cleanup.h"

#include <cstring>

#include "run/run_context.h"
#include "fix/registry.h"
#include "fix/registry_core.h"
#include "run/native_path.h"
#include "win32/unique_handle.h"

namespace {

using win32::UniqueKey;

const char kComServerUnregistered[] = "COM Server: %s (unregistered)";

// Class identifiers with their braces, and the terminator.
constexpr DWORD kClassIdChars = 39;
constexpr DWORD kDataValueNameChars = 260;

struct ComTarget {
    HKEY root;
    std::string subPath;
};

// The keys a configured path stands for: one, or one under every user key of
// HKEY_USERS for the per-user rows (no profile sweep here).
std::vector<ComTarget> ResolveTargets(const RemovalRun& run, const char* keyPath) {
    std::vector<ComTarget> targets;
    regcore::AliasMatch match = regcore::FindRootKeyAlias(run.def->rootKeyAliases, keyPath);
    if (!match.alias) return targets;
    if (!match.alias->perUser) {
        targets.push_back({reinterpret_cast<HKEY>(match.alias->rootKey), match.rest});
        return targets;
    }
    std::string subPath;
    for (const std::string& user : SubkeyNames(HKEY_USERS))
        if (regcore::JoinKeyPath(user.c_str(), match.rest, subPath)) targets.push_back({HKEY_USERS, subPath});
    return targets;
}

void CountFixed(RemovalRun& run, const std::string& line) {
    ++run.stats.registryEntriesFixed;
    run.log.Line(line.c_str());
}

template <typename C>
std::string AnsiName(const C* name) {
    if constexpr (sizeof(C) == 1) {
        return name;
    } else {
        std::string ansi;
        AnsiFromWide(name, ansi);
        return ansi;
    }
}

// A string value's data through the run's table: `units` native units, with
// a terminator appended after them.
template <typename C>
bool ReadString(const ApiSet<C>& api, HKEY key, const C* name, std::vector<C>& data, size_t& units) {
    DWORD type = 0, size = 0;
    if (api.RegQueryValueEx(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.assign(size / sizeof(C) + 2, C(0));
    DWORD got = static_cast<DWORD>((data.size() - 1) * sizeof(C));
    if (api.RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got) != ERROR_SUCCESS)
        return false;
    units = got / sizeof(C);
    return true;
}

// The class's in-process server is one of the detected files.
template <typename C>
bool ServerIsDetected(RemovalRun& run, const std::string& classId) {
    const ApiSet<C>& api = run.api.Get<C>();
    std::string path = "CLSID\\" + classId + "\\InprocServer32";
    UniqueKey server;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, server.put()) !=
        ERROR_SUCCESS)
        return false;
    static const C kDefault[1] = {0};
    std::vector<C> data;
    size_t units = 0;
    if (!ReadString(api, server.get(), kDefault, data, units)) return false;
    for (const C* file : run.detectedFiles.As<C>()) {
        if (run.flags.isNtFamily) file = pathrules::SkipLongPrefix(file);
        if (DataEqualsIgnoreCase(data.data(), units, file)) return true;
    }
    return false;
}

bool Found(const ClassIdList& found, const std::string& name) {
    for (const std::string& id : found)
        if (regcore::EqualsIgnoreCaseAscii(id.c_str(), name.c_str())) return true;
    return false;
}

// One configured key: its subkeys, then its values. After a match the same
// place is read again, whichever step took the entry away (with the classes
// key itself configured, the class deletion already has); a name still in
// its place then, because nothing removed it, is stepped over, so the walk
// ends however the registry answers.
template <typename C>
void CleanClassReferences(RemovalRun& run, HKEY key, const ComTarget& target, const char* keyPath,
                          ClassIdList& found) {
    const ApiSet<C>& api = run.api.Get<C>();
    const bool usersRoot = target.root == HKEY_USERS;
    char keyName[kClassIdChars];
    C valueName[kClassIdChars];
    DWORD length = kClassIdChars;
    LONG first = RegEnumKeyExA(key, 0, keyName, &length, nullptr, nullptr, nullptr, nullptr);
    bool walkingKeys = first == ERROR_SUCCESS || first == ERROR_MORE_DATA;
    DWORD index = 0;
    std::string deletedHere;   // the name matched at `index` just before
    for (;;) {
        length = kClassIdChars;
        LONG r = walkingKeys ? RegEnumKeyExA(key, index, keyName, &length, nullptr, nullptr, nullptr, nullptr)
                             : api.RegEnumValue(key, index, valueName, &length, nullptr, nullptr, nullptr, nullptr);
        if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) {
            if (!walkingKeys) break;
            walkingKeys = false;
            index = 0;
            deletedHere.clear();
            continue;
        }
        // A name too long for the buffer is no class identifier and was
        // never found as one.
        std::string name;
        if (r == ERROR_SUCCESS) name = walkingKeys ? std::string(keyName, length) : AnsiName<C>(valueName);
        bool stuck = !deletedHere.empty() && regcore::EqualsIgnoreCaseAscii(name.c_str(), deletedHere.c_str());
        deletedHere.clear();
        bool match = r == ERROR_SUCCESS && !stuck &&
                     (Found(found, name) ||
                      (regcore::LooksLikeClassId(name.c_str(), name.size()) && ServerIsDetected<C>(run, name)));
        if (!match) {
            ++index;
            continue;
        }
        if (!Found(found, name)) found.push_back(name);
        std::string classKey = "CLSID\\" + name;
        if (DeleteKeyTree(HKEY_CLASSES_ROOT, classKey.c_str()))
            CountFixed(run, regcore::ClassKeyDeletedLine(classKey.c_str()));
        if (walkingKeys) {
            std::string sub;
            if (regcore::JoinKeyPath(target.subPath.c_str(), name.c_str(), sub) &&
                DeleteKeyTree(target.root, sub.c_str()))
                CountFixed(run, regcore::ComKeyDeletedLine(usersRoot, sub.c_str(), keyPath, name.c_str()));
        } else if (api.RegDeleteValue(key, valueName) == ERROR_SUCCESS) {
            CountFixed(run, regcore::ComValueDeletedLine(usersRoot, target.subPath.c_str(), keyPath, name.c_str()));
        }
        deletedHere = name;
    }
}

template <typename C>
void CleanupClsid(RemovalRun& run, const char* keyPath, ClassIdList& found) {
    for (const ComTarget& target : ResolveTargets(run, keyPath)) {
        UniqueKey key;
        if (RegOpenKeyExA(target.root, target.subPath.c_str(), 0,
                          KEY_ENUMERATE_SUB_KEYS | KEY_SET_VALUE | KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            continue;
        CleanClassReferences<C>(run, key.get(), target, keyPath, found);
    }
}

template <typename C>
void DeleteByData(RemovalRun& run, const char* keyPath, const C* path) {
    const ApiSet<C>& api = run.api.Get<C>();
    for (const ComTarget& target : ResolveTargets(run, keyPath)) {
        UniqueKey key;
        if (RegOpenKeyExA(target.root, target.subPath.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
            ERROR_SUCCESS)
            continue;
        const std::string prefix = regcore::ComPrefix(target.root == HKEY_USERS, target.subPath.c_str(), keyPath);
        C name[kDataValueNameChars];
        std::vector<C> data;
        for (DWORD index = 0;;) {
            DWORD length = kDataValueNameChars, type = 0, size = 0;
            LONG r = api.RegEnumValue(key.get(), index, name, &length, nullptr, &type, nullptr, &size);
            // A name longer than the buffer is passed over, not the end of the walk.
            if (r == ERROR_MORE_DATA) {
                ++index;
                continue;
            }
            if (r != ERROR_SUCCESS) break;
            size_t units = 0;
            if (type != REG_SZ || !ReadString(api, key.get(), name, data, units) ||
                !DataEqualsIgnoreCase(data.data(), units, path)) {
                ++index;
                continue;
            }
            if (api.RegDeleteValue(key.get(), name) != ERROR_SUCCESS) {
                ++index;
                continue;
            }
            CountFixed(run, regcore::DataValueDeletedLine(prefix, AnsiName<C>(name).c_str()));
        }
    }
}

}  // namespace

void CleanupClsidReferences(RemovalRun& run, const char* keyPath, ClassIdList& found) {
    if (!keyPath || run.detectedFiles.GetCount() == 0) return;
    if (run.flags.isNtFamily)
        CleanupClsid<wchar_t>(run, keyPath, found);
    else
        CleanupClsid<char>(run, keyPath, found);
}

void DeleteValuesByData(RemovalRun& run, const char* keyPath, const void* path) {
    if (!keyPath || !path) return;
    if (run.flags.isNtFamily)
        DeleteByData(run, keyPath, static_cast<const wchar_t*>(path));
    else
        DeleteByData(run, keyPath, static_cast<const char*>(path));
}

bool UnregisterComServer(const char* path, DWORD waitMs) {
    char system[MAX_PATH + 1] = {};
    UINT n = GetSystemDirectoryA(system, MAX_PATH);
    if (n == 0 || n > MAX_PATH) return false;
    std::string command = std::string(system) + "\\regsvr32.exe /s /u \"" + (path ? path : "") + "\"";
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    win32::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
    DWORD code = 1;
    return WaitForSingleObject(process.get(), waitMs) == WAIT_OBJECT_0 &&
           GetExitCodeProcess(process.get(), &code) && code == 0;
}

void UnregisterInfectedServer(RemovalRun& run, const char* path) {
    if (UnregisterComServer(path, run.limits.unregisterWaitMs)) run.log.Format(kComServerUnregistered, path);
}
