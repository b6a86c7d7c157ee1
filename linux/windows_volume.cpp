#include "linux/windows_volume.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "run/dry_run_core.h"
#include "run/report_core.h"
#include "fix/fix_lists_core.h"
#include "fix/registry_core.h"
#include "linux/hive_store.h"
#include "scan/path_macros_core.h"

namespace native {

namespace {

const char kSoftwareHive[] = "System32/config/SOFTWARE";
const char kCurrentVersion[] = "Microsoft\\Windows NT\\CurrentVersion";
const char kProfileList[] = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const char kHiveNotWritten[] = "(WARNING: the hive could not be written)";
const char kHiveNotOpened[] = "(WARNING: the hive could not be opened)";
const char kNoSoftwareHive[] = "(WARNING: no Windows volume, its SOFTWARE hive was not found)";

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The entry of dir named `name`: itself when it exists, else the first one
// that matches ignoring case; empty when there is none.
std::string MatchEntry(const std::string& dir, const std::string& name) {
    if (Exists(dir + "/" + name)) return name;
    posix::UniqueDir d(::opendir(dir.c_str()));
    if (!d) return {};
    while (const dirent* e = ::readdir(d.get()))
        if (strcasecmp(e->d_name, name.c_str()) == 0) return e->d_name;
    return {};
}

// A text value of the hive node at path, as ANSI text; empty when missing.
std::string HiveText(Hive& hive, const std::string& path, const char* name) {
    hive_node_h node = hive.Find(path);
    if (!node) return {};
    hive_value_h value = hivex_node_get_value(hive.get(), node, name);
    if (!value) return {};
    hive_type t;
    size_t size = 0;
    char* raw = hivex_value_value(hive.get(), value, &t, &size);
    if (!raw) return {};
    std::vector<uint8_t> data = AnsiFromHive(static_cast<uint32_t>(t), raw, size);
    std::free(raw);
    std::string text(data.begin(), data.end());
    return text.substr(0, text.find('\0'));
}

// %NAME% of the volume's environment, ignoring case; unknown names stay.
std::string ExpandVolumeVariables(const std::string& text, const std::map<std::string, std::string>& vars) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t start = text.find('%', at), end = start == std::string::npos ? start : text.find('%', start + 1);
        if (end == std::string::npos) break;
        out += text.substr(at, start - at);
        std::string name = text.substr(start + 1, end - start - 1);
        auto it = std::find_if(vars.begin(), vars.end(),
                               [&](const auto& v) { return strcasecmp(v.first.c_str(), name.c_str()) == 0; });
        out += it != vars.end() ? it->second : text.substr(start, end - start + 1);
        at = end + 1;
    }
    return out + text.substr(std::min(at, text.size()));
}

// The macros of the definition's lists as they stand on the volume, for one
// profile (or none): Windows paths of the volume.
class VolumeResolver : public MacroResolver {
public:
    VolumeResolver(const std::string& windir, const VolumeProfile* profile, Hive* software)
        : m_windir(windir), m_profile(profile), m_software(software) {}
    bool SystemDirectory(std::string& out) override {
        out = m_windir + "\\system32";
        return true;
    }
    bool WindowsDirectory(std::string& out) override {
        out = m_windir;
        return true;
    }
    bool TempDirectory(std::string& out) override {
        if (!m_profile || m_profile->tempWindows.empty()) return false;
        out = m_profile->tempWindows + "\\";
        return true;
    }
    bool EnvironmentVariable(const char* name, std::string& out) override {
        if (!strcasecmp(name, "TEMP") || !strcasecmp(name, "TMP")) {
            if (!m_profile || m_profile->tempWindows.empty()) return false;
            out = m_profile->tempWindows;
        } else if (!strcasecmp(name, "USERPROFILE")) {
            if (!m_profile) return false;
            out = m_profile->windowsPath;
        } else if (!strcasecmp(name, "SystemRoot") || !strcasecmp(name, "windir")) {
            out = m_windir;
        } else if (!strcasecmp(name, "SystemDrive")) {
            out = m_windir.substr(0, 2);
        } else {
            return false;
        }
        return true;
    }
    bool RegistryValue(uintptr_t rootKey, const char* subKey, const char* valueName,
                       std::vector<uint8_t>& out) override {
        if (!m_software) return false;
        HiveStore store(m_software, {});
        std::unique_ptr<regfix::RegistryKey> key = store.Open(rootKey, subKey);
        uint32_t type = 0;
        if (!key || !key->Read(valueName, type, out) || out.empty()) return false;
        if (type == regcore::kRegSz || type == regcore::kRegExpandSz)
            if (out.back() != 0) out.push_back(0);
        return true;
    }

private:
    std::string m_windir;
    const VolumeProfile* m_profile;
    Hive* m_software;
};

bool Expand(MacroResolver& resolver, const char* entry, std::string& out) {
    size_t n = ExpandPathMacrosWith(resolver, entry, nullptr, 0);
    if (!n) return false;
    std::vector<char> buffer(n + 1, '\0');
    if (ExpandPathMacrosWith(resolver, entry, buffer.data(), buffer.size()) != n) return false;
    out.assign(buffer.data());
    return !out.empty();
}

// Writes a changed hive back through the scanner (quarantine, atomic
// replace); true when it is on the disk or nothing had to be written.
bool CommitHive(Hive& hive, TreeScanner& scanner) {
    if (!hive.dirty || scanner.DryRun()) return true;
    std::vector<uint8_t> content;
    return hive.Serialize(content) && scanner.ReplaceContent(hive.path(), content);
}

// The lines one hive's fixes give, held until the hive is written.
class HeldLines : public LogSink {
public:
    void Write(const char* bytes, size_t length) override {
        std::string line(bytes, length);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        lines.push_back(std::move(line));
    }
    std::vector<std::string> lines;
};

// The fix lists on one hive (the store reaches that hive only); its lines
// and count reach the log once the hive is written, and say what really
// happened when it could not be.
void FixHive(const ThreatDefinition& def, Hive& hive, HiveStore store, TreeScanner& scanner, RunLog& log,
             VolumeOutcome& outcome) {
    RunLog held;
    HeldLines sink;
    held.SetSink(&sink);
    uint32_t fixed = 0;
    regfix::ApplyFixLists(def, store, held, fixed);
    held.SetSink(nullptr);
    const bool written = CommitHive(hive, scanner);
    for (const std::string& line : sink.lines) {
        if (scanner.DryRun())
            log.Line(UnmadeRegistryLine(line, UnmadeChange::DryRun).c_str());
        else
            log.Line(written ? line.c_str() : UnmadeRegistryLine(line, UnmadeChange::HiveNotWritten).c_str());
    }
    if (written) {
        scanner.stats.registryEntriesFixed += fixed;
        return;
    }
    ++scanner.notCleaned;
    ++outcome.hivesNotWritten;
    log.PathLine(LogText(hive.path()).c_str(), "%s", kHiveNotWritten);
}

}  // namespace

std::optional<std::string> FindIgnoringCase(const std::string& root, const std::string& relative) {
    std::string path = root;
    size_t at = 0;
    while (at < relative.size()) {
        size_t end = relative.find('/', at);
        if (end == std::string::npos) end = relative.size();
        std::string name = relative.substr(at, end - at);
        at = end + 1;
        if (name.empty()) continue;
        std::string found = MatchEntry(path, name);
        if (found.empty()) return std::nullopt;
        path += "/" + found;
    }
    return path;
}

bool IsWindowsVolume(const std::string& root) {
    return FindIgnoringCase(root, std::string("Windows/") + kSoftwareHive).has_value() ||
           FindIgnoringCase(root, std::string("WINNT/") + kSoftwareHive).has_value();
}

std::string VolumePath(const std::string& root, const std::string& windowsPath) {
    std::string rest = windowsPath;
    if (rest.size() >= 2 && rest[1] == ':') rest = rest.substr(2);
    std::string path = root;
    size_t at = 0;
    while (at <= rest.size()) {
        size_t end = rest.find('\\', at);
        if (end == std::string::npos) end = rest.size();
        std::string name = rest.substr(at, end - at);
        at = end + 1;
        if (name.empty() || name == ".") continue;
        if (name == "..") return {};   // never out of the volume
        std::string found = MatchEntry(path, name);
        path += "/" + (found.empty() ? name : found);
    }
    return path;
}

VolumeOutcome CleanWindowsVolume(const std::string& root, const ThreatDefinition& def, TreeScanner& scanner,
                                 RunLog& log) {
    VolumeOutcome outcome;
    std::string windirName = "Windows";
    std::optional<std::string> softwarePath = FindIgnoringCase(root, windirName + "/" + kSoftwareHive);
    if (!softwarePath) {
        windirName = "WINNT";
        softwarePath = FindIgnoringCase(root, windirName + "/" + kSoftwareHive);
    }
    if (!softwarePath) {
        ++scanner.ioErrors;
        ++outcome.hivesNotOpened;
        log.PathLine(LogText(root).c_str(), "%s", kNoSoftwareHive);
        return outcome;
    }
    std::unique_ptr<Hive> software = Hive::Open(*softwarePath);
    if (!software) {
        ++scanner.ioErrors;
        ++outcome.hivesNotOpened;
        log.PathLine(LogText(*softwarePath).c_str(), "%s", kHiveNotOpened);
        return outcome;
    }
    std::string windir = HiveText(*software, kCurrentVersion, "SystemRoot");
    if (windir.size() < 3 || windir[1] != ':') windir = "C:\\" + windirName;
    std::map<std::string, std::string> vars{{"SystemRoot", windir}, {"windir", windir}, {"SystemDrive", windir.substr(0, 2)}};

    // Every profile the volume lists, with its hive and its TEMP.
    std::vector<VolumeProfile> profiles;
    std::vector<std::unique_ptr<Hive>> userHives;
    std::map<std::string, Hive*> users;
    if (hive_node_h list = software->Find(kProfileList)) {
        std::unique_ptr<hive_node_h, void (*)(void*)> children(hivex_node_children(software->get(), list), std::free);
        for (hive_node_h* c = children ? children.get() : nullptr; c && *c; ++c) {
            std::unique_ptr<char, void (*)(void*)> sid(hivex_node_name(software->get(), *c), std::free);
            if (!sid) continue;
            VolumeProfile p;
            p.sid = sid.get();
            p.windowsPath = ExpandVolumeVariables(
                HiveText(*software, std::string(kProfileList) + "\\" + p.sid, "ProfileImagePath"), vars);
            if (p.windowsPath.empty()) continue;
            std::string hivePath = VolumePath(root, p.windowsPath + "\\NTUSER.DAT");
            std::unique_ptr<Hive> hive = Exists(hivePath) ? Hive::Open(hivePath) : nullptr;
            if (Exists(hivePath) && !hive) {
                ++scanner.ioErrors;
                ++outcome.hivesNotOpened;
                log.PathLine(LogText(hivePath).c_str(), "%s", kHiveNotOpened);
            }
            std::map<std::string, std::string> userVars = vars;
            userVars["USERPROFILE"] = p.windowsPath;
            if (hive) p.tempWindows = ExpandVolumeVariables(HiveText(*hive, "Environment", "TEMP"), userVars);
            for (const char* guess : {"\\Local Settings\\Temp", "\\AppData\\Local\\Temp"})
                if (p.tempWindows.empty() && Exists(VolumePath(root, p.windowsPath + guess)))
                    p.tempWindows = p.windowsPath + guess;
            if (hive) {
                p.hivePath = hivePath;
                users[p.sid] = hive.get();
                userHives.push_back(std::move(hive));
            }
            profiles.push_back(std::move(p));
        }
    }

    // The listed files, once for each profile (their %TEMP% differs).
    std::set<std::string> done;
    for (const char* const* entry = def.threatFileList; entry && *entry; ++entry) {
        for (size_t i = 0; i < std::max<size_t>(profiles.size(), 1); ++i) {
            VolumeResolver resolver(windir, profiles.empty() ? nullptr : &profiles[i], software.get());
            std::string expanded;
            if (!Expand(resolver, *entry, expanded)) continue;
            std::string path = VolumePath(root, expanded);
            if (!path.empty() && done.insert(path).second) scanner.DeleteListedFile(path);
        }
    }

    // The registry lists after a find, as the Windows program runs them.
    // One hive at a time, so that each line is known to be on the disk.
    if (!ThreatCountsAsFound(scanner.stats, 0)) return outcome;
    FixHive(def, *software, HiveStore(software.get(), {}), scanner, log, outcome);
    for (const auto& [sid, hive] : users) FixHive(def, *hive, HiveStore(nullptr, {{sid, hive}}), scanner, log, outcome);
    return outcome;
}

}  // namespace native
