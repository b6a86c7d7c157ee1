// An offline Windows volume (the disk of a Windows machine mounted on a
// rescue system): the threat definition's file list with its macros resolved
// against the volume, and its registry fix lists applied to the volume's hives.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/log_core.h"
#include "run/threat_definition.h"
#include "linux/tree_scan.h"

namespace native {

// The existing path below root whose components match `relative` ("a/b/c")
// ignoring case; none when a component is missing.
std::optional<std::string> FindIgnoringCase(const std::string& root, const std::string& relative);

// True when root holds Windows/System32/config/SOFTWARE (any case).
bool IsWindowsVolume(const std::string& root);

// A Windows path of the volume ("C:\WINDOWS\Temp\x") as a path below root,
// existing components matched ignoring case; the last one may be missing.
std::string VolumePath(const std::string& root, const std::string& windowsPath);

struct VolumeProfile {
    std::string sid;
    std::string windowsPath;    // ProfileImagePath, expanded ("C:\Documents and Settings\Alice")
    std::string hivePath;       // NTUSER.DAT below the volume root, or empty
    std::string tempWindows;    // the profile's TEMP as a Windows path, or empty
};

// What could not be done on a volume (the files and values are counted in
// the scanner's stats and notCleaned).
struct VolumeOutcome {
    uint32_t hivesNotOpened = 0;    // not a readable hive: nothing in it was examined
    uint32_t hivesNotWritten = 0;   // fixed in memory, but the file could not be replaced
};

// Removes the threat's listed files and registry entries from the volume.
VolumeOutcome CleanWindowsVolume(const std::string& root, const ThreatDefinition& def, TreeScanner& scanner,
                                 RunLog& log);

}  // namespace native
