// Command-line switches of the removal tool. Portable.
#pragma once
#include <optional>
#include <string>
#include <vector>

struct ThreatDefinition;

struct RunOptions {
    bool silentMode = false;
    std::string logPath;
    bool startImmediately = false;
    bool fixShares = false;
    bool deleteAdminShares = false;
    bool scanMappedDrives = false;
    bool noFileScan = false;
    bool noVulnerabilityCheck = false;
    std::vector<std::string> exclusionList;
    bool exclusionsGiven = false;
    std::string readWritePassword;
    std::string readOnlyPassword;
    bool readWritePasswordGiven = false;
    bool readOnlyPasswordGiven = false;
    bool showHelp = false;
    bool noSilentReboot = false;
    bool noCancel = false;
    std::optional<std::string> onlyDirPath;
    bool registryFixEnabled = true;
    // "/DRYRUN": the run looks and changes nothing; it logs what a real run
    // would do.
    bool dryRun = false;
    // "/EXITCODE": the process exit code tells the outcome (else it is 0).
    bool exitCodeWanted = false;
    // "/LOG=" was given (a log that cannot be created is then named as the
    // one asked for).
    bool logPathGiven = false;
    // Tokens that matched no switch, in the order given; the run logs each.
    std::vector<std::string> ignoredTokens;
    // Free text right after the "/ONLYDIR=" token, blank-separated: most
    // likely the rest of a path with blanks that was not quoted.
    std::string onlyDirRest;
    // "/QUARANTINE=": a copy of every file before it is repaired or deleted
    // is kept there (empty: none).
    std::string quarantineDir;
    // "/RESTORE=": the run puts back the originals this quarantine holds
    // instead of removing anything; "/FORCE" also over files changed since.
    std::string restoreDir;
    bool restoreForce = false;
};

extern const char kHelpText[];

// Defaults that come from the threat definition.
RunOptions DefaultRunOptions(const ThreatDefinition& def);

// Parses the process's command line (program name first) into options.
// The text is upper-cased in place and cut into tokens in place, as the
// values are taken from it; the whole line is parsed, however long.
void ParseCommandLine(char* commandLine, RunOptions& options, const ThreatDefinition& def);
