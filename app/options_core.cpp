#include "app/options_core.h"

#include <cstring>
#include <utility>

#include "app/threat_definition.h"

const char kHelpText[] =
    "The following command-line switches are available in this tool:\n"
    "\n"
    "   /HELP, /H, /? - Displays this help message\n"
    "\n"
    "   /SILENT, /S - Enables silent mode\n"
    "\n"
    "   /NOSILENTREBOOT - If silent mode is enabled, no reboot will occur\n"
    "\n"
    "   /LOG=<pathname> - Creates a log file where <pathname> is the\n"
    "    location in which to store the output of the tool\n"
    "\n"
    "   /NOFILESCAN - Disables file scanning\n"
    "\n"
    "   /NOVULNCHECK - Disables checking for unpatched files\n"
    "\n"
    "   /START - Starts the removal process immediately\n"
    "\n"
    "   /MAPPED - Scans mapped network drives\n"
    "\n"
    "   /EXCLUDE=<path> - Excludes the <path> from scanning\n"
    "\n"
    "   /NOCANCEL - Disables the \"Cancel\" button.\n"
    "\n";

RunOptions DefaultRunOptions(const ThreatDefinition& def) {
    RunOptions o;
    o.logPath = def.logFileName ? def.logFileName : "";
    o.fixShares = def.fixSharesDefault;
    o.scanMappedDrives = def.scanMappedDefault;
    o.registryFixEnabled = def.registryFixDefault;
    return o;
}

namespace {

bool Exact(const char* token, const char* sw) { return std::strcmp(token, sw) == 0; }

// Prefix match: only the switch's own length is compared.
bool Prefix(const char* token, const char* sw) {
    return std::strncmp(token, sw, std::strlen(sw)) == 0;
}

const char* Rest(const char* token, const char* sw) { return token + std::strlen(sw); }

// A value without one pair of surrounding quotes (a leading quote alone goes
// too): a Windows path holds no quote, so this only lets paths with blanks in.
std::string Unquoted(const char* value) {
    std::string v = value;
    if (!v.empty() && v.front() == '"') {
        v.erase(0, 1);
        if (!v.empty() && v.back() == '"') v.pop_back();
    }
    return v;
}

void ApplyToken(const char* t, RunOptions& o, const ThreatDefinition& def) {
    if (Exact(t, "/S") || Exact(t, "/SILENT")) {
        o.silentMode = true;
    } else if (Prefix(t, "/LOG=")) {
        o.logPath = Unquoted(Rest(t, "/LOG="));
    } else if (Prefix(t, "/START")) {
        o.startImmediately = true;
    } else if (Prefix(t, "/NOFIXSHARE")) {
        o.fixShares = false;
    } else if (Prefix(t, "/DELADMIN") && def.adminShareDeleteAllowed) {
        o.deleteAdminShares = true;
    } else if (Prefix(t, "/MAPPED")) {
        o.scanMappedDrives = true;
    } else if (Exact(t, "/NOFILESCAN")) {
        o.noFileScan = true;
    } else if (Exact(t, "/NOVULNCHECK")) {
        o.noVulnerabilityCheck = true;
    } else if (Prefix(t, "/EXCLUDE=")) {
        // An empty prefix would match every path: it is no exclusion.
        std::string prefix = Unquoted(Rest(t, "/EXCLUDE="));
        if (!prefix.empty()) {
            o.exclusionList.push_back(std::move(prefix));
            o.exclusionsGiven = true;
        }
    } else if (Prefix(t, "/RWPWD=")) {
        o.readWritePassword = Rest(t, "/RWPWD=");
        o.readWritePasswordGiven = true;
    } else if (Prefix(t, "/ROPWD=")) {
        o.readOnlyPassword = Rest(t, "/ROPWD=");
        o.readOnlyPasswordGiven = true;
    } else if (Prefix(t, "/HELP") || Prefix(t, "/H") || Prefix(t, "/?")) {
        o.showHelp = true;
    } else if (Prefix(t, "/NOSILENTREBOOT")) {
        o.noSilentReboot = true;
    } else if (Prefix(t, "/NOCANCEL")) {
        o.noCancel = true;
    } else if (Prefix(t, "/ONLYDIR=")) {
        o.onlyDirPath = Unquoted(Rest(t, "/ONLYDIR="));
    }
}

}  // namespace

void ParseCommandLine(char* line, RunOptions& o, const ThreatDefinition& def) {
    if (!line) return;
    for (char* p = line; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');

    // Skip the program name: quoted up to the next quote, else up to the first blank.
    char* p = line;
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != ' ') ++p;
    }

    o.exclusionList.clear();

    while (*p) {
        while (*p == ' ') ++p;
        if (!*p) break;
        char* token = p;
        int quotes = 0;
        while (*p) {
            if (*p == '"' && quotes < 2) ++quotes;
            else if (*p == ' ' && quotes != 1) break;
            ++p;
        }
        if (*p) *p++ = '\0';
        ApplyToken(token, o, def);
    }
}
