#include "scan/wininit_core.h"

#include <cstring>
#include <vector>

const char kWininitFileName[] = "\\WININIT.INI";
const char kRenameSection[] = "rename";
const char kNulKey[] = "NUL";

bool ComposeWininitPath(const char* windowsDir, char* out, size_t outBytes) {
    if (!windowsDir || !out || !outBytes) return false;
    out[0] = '\0';
    size_t n = strnlen(windowsDir, kMaxWindowsDirForWininit + 1);
    size_t tail = sizeof kWininitFileName - 1;
    if (n > kMaxWindowsDirForWininit || n + tail >= outBytes) return false;
    std::memcpy(out, windowsDir, n);
    std::memcpy(out + n, kWininitFileName, tail + 1);
    return true;
}

bool AddRenameLine(ProfileAccess& profile, const char* key, const char* value) {
    if (!key || !key[0] || !value || !value[0]) return false;
    char existing[kWininitPathBytes] = {};
    profile.GetString(kRenameSection, key, existing, sizeof existing);
    bool ok;
    if (existing[0]) {
        std::vector<char> section(kRenameSectionBytes, '\0');
        uint32_t f = profile.GetSection(kRenameSection, section.data(), kRenameSectionBytes);
        size_t k = std::strlen(key);
        size_t n = std::strlen(value);
        // The line, its "=", the two closing zeros, with room to spare; a
        // section cut off at the buffer's end also fails here.
        if (f == 0 || f >= kRenameSectionBytes || k + n + f + 6 >= kRenameSectionBytes) return false;
        char* p = section.data() + f;
        std::memcpy(p, key, k);
        p[k] = '=';
        std::memcpy(p + k + 1, value, n);
        p[k + 1 + n] = '\0';
        p[k + 2 + n] = '\0';
        ok = profile.WriteSection(kRenameSection, section.data());
    } else {
        ok = profile.WriteString(kRenameSection, key, value);
    }
    if (ok) profile.Flush();
    return ok;
}

bool AddNulRenameLine(ProfileAccess& profile, const char* shortPath) {
    return AddRenameLine(profile, kNulKey, shortPath);
}
