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

bool AddNulRenameLine(ProfileAccess& profile, const char* shortPath) {
    if (!shortPath || !shortPath[0]) return false;
    char existing[kWininitPathBytes] = {};
    profile.GetString(kRenameSection, kNulKey, existing, sizeof existing);
    bool ok;
    if (existing[0]) {
        std::vector<char> section(kRenameSectionBytes, '\0');
        uint32_t f = profile.GetSection(kRenameSection, section.data(), kRenameSectionBytes);
        size_t n = std::strlen(shortPath);
        // 4 for "NUL=", 2 for the closing zeros, with room to spare; a section
        // cut off at the buffer's end also fails here.
        if (f == 0 || f >= kRenameSectionBytes || n + f + 9 >= kRenameSectionBytes) return false;
        char* p = section.data() + f;
        std::memcpy(p, kNulKey, 3);
        p[3] = '=';
        std::memcpy(p + 4, shortPath, n);
        p[4 + n] = '\0';
        p[5 + n] = '\0';
        ok = profile.WriteSection(kRenameSection, section.data());
    } else {
        ok = profile.WriteString(kRenameSection, kNulKey, shortPath);
    }
    if (ok) profile.Flush();
    return ok;
}
