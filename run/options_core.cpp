#include "run/options_core.h"

#include <cstring>
#include <utility>

#include "run/threat_definition.h"

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
    "   /DRYRUN - Looks for the threat and logs what would be done,\n"
    "    without changing anything\n"
    "\n"
    "   /EXITCODE - Ends with an exit code that tells the outcome\n"
    "    (0 not found, 1 removed, 2 not all removed, 3 not run,\n"
    "    4 removed, restart needed)\n"
    "\n"
    "   /QUARANTINE=<dir> - Keeps a copy of every file in <dir>\n"
    "    before it is repaired or deleted\n"
    "\n"
    "   /RESTORE=<dir> - Puts back the files kept in <dir>\n"
    "    (with /FORCE also those changed since)\n"
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

// The switches that take a value.
constexpr const char* kValueSwitches[] = {"/LOG=", "/EXCLUDE=", "/RWPWD=", "/ROPWD=", "/ONLYDIR=", "/QUARANTINE=", "/RESTORE="};

// A value switch quoted whole ("/ONLYDIR=C:\My Apps", as PowerShell and
// deployment tools pass an argument with a blank) in the form with its value
// quoted (/ONLYDIR="C:\My Apps"), which means the same; other tokens as they are.
std::string ValueQuoted(const char* t) {
    if (t[0] == '"')
        for (const char* sw : kValueSwitches)
            if (Prefix(t + 1, sw)) return std::string(sw) + '"' + Rest(t + 1, sw);
    return t;
}

// False for a token that is no switch. /DELADMIN is one also where the
// definition gives it no effect.
bool ApplyToken(const char* t, RunOptions& o, const ThreatDefinition& def) {
    if (Exact(t, "/S") || Exact(t, "/SILENT")) {
        o.silentMode = true;
    } else if (Prefix(t, "/LOG=")) {
        o.logPath = Unquoted(Rest(t, "/LOG="));
        o.logPathGiven = true;
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
    } else if (Exact(t, "/DRYRUN")) {
        o.dryRun = true;
    } else if (Exact(t, "/EXITCODE")) {
        o.exitCodeWanted = true;
    } else if (Prefix(t, "/QUARANTINE=")) {
        o.quarantineDir = Unquoted(Rest(t, "/QUARANTINE="));
    } else if (Prefix(t, "/RESTORE=")) {
        o.restoreDir = Unquoted(Rest(t, "/RESTORE="));
    } else if (Exact(t, "/FORCE")) {
        o.restoreForce = true;
    } else if (Prefix(t, "/ONLYDIR=")) {
        o.onlyDirPath = Unquoted(Rest(t, "/ONLYDIR="));
        o.onlyDirRest.clear();
    } else {
        return Prefix(t, "/DELADMIN");
    }
    return true;
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
    o.ignoredTokens.clear();

    // Free text straight after /ONLYDIR= is kept with it for the warning
    // that the path was not found.
    bool afterOnlyDir = false;
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
        const std::string t = ValueQuoted(token);
        const bool known = ApplyToken(t.c_str(), o, def);
        if (!known) {
            o.ignoredTokens.push_back(t);
            if (afterOnlyDir && t[0] != '/' && t[0] != '"') {
                if (!o.onlyDirRest.empty()) o.onlyDirRest += ' ';
                o.onlyDirRest += t;
                continue;
            }
        }
        afterOnlyDir = known && Prefix(t.c_str(), "/ONLYDIR=");
    }
}
