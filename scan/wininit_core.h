// Work left to the next start on 9x: lines in the [rename] section of
// WININIT.INI, "NUL=<short path>" for a deletion, "<short target>=<short
// source>" for a replacement. Portable: the profile file is reached through
// ProfileAccess (the private-profile functions on the Win32 side).
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kWininitPathBytes = 261;
constexpr size_t kMaxWindowsDirForWininit = 247;
constexpr uint32_t kRenameSectionBytes = 0x7FFF;

extern const char kWininitFileName[];   // "\WININIT.INI"
extern const char kRenameSection[];     // "rename"
extern const char kNulKey[];            // "NUL"

class ProfileAccess {
public:
    virtual ~ProfileAccess() = default;
    // Value of a key (empty default) into out; its length.
    virtual uint32_t GetString(const char* section, const char* key, char* out, uint32_t size) = 0;
    // The section as "key=value\0...\0\0"; the length without the final zero
    // (size - 2 when the buffer was too small).
    virtual uint32_t GetSection(const char* section, char* out, uint32_t size) = 0;
    virtual bool WriteString(const char* section, const char* key, const char* value) = 0;
    // Replaces the whole section with "key=value\0...\0\0".
    virtual bool WriteSection(const char* section, const char* text) = 0;
    // Writes the cached profile through to the file.
    virtual void Flush() = 0;
};

// "<windowsDir>\WININIT.INI" into out (kWininitPathBytes); false when the
// directory is longer than kMaxWindowsDirForWininit characters.
bool ComposeWininitPath(const char* windowsDir, char* out, size_t outBytes);

// Adds "<key>=<value>" to [rename]: the system moves the file `value` onto
// `key` at the next start (short 8.3 paths both). A second line of the same
// key cannot be added by key, so with the key present the section is
// rewritten whole with the line appended; the section must stay below
// kRenameSectionBytes. The profile cache is flushed after a successful write.
bool AddRenameLine(ProfileAccess& profile, const char* key, const char* value);
// "NUL=<shortPath>": the file is deleted at the next start.
bool AddNulRenameLine(ProfileAccess& profile, const char* shortPath);
