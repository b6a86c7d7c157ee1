#include "scan/path_macros_core.h"

#include <cstring>

#include "run/threat_definition.h"

namespace {

// A macro nests at most a registry macro inside a %-name (or the reverse);
// the limit only guards against a resolver that returns macros forever.
constexpr int kMaxInnerDepth = 4;

bool EqualsNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool StartsNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        char x = *text, y = *prefix;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The last macro delimited by open/close within text[0, limit).
bool FindLast(const std::string& text, size_t limit, char open, char close, size_t& start, size_t& end) {
    if (limit == 0) return false;
    size_t e = text.rfind(close, limit - 1);
    if (e == std::string::npos || e == 0) return false;
    size_t s = text.rfind(open, e - 1);
    if (s == std::string::npos) return false;
    start = s;
    end = e;
    return true;
}

bool Expand(MacroResolver& resolver, const std::string& text, std::string& out, int depth);

bool ResolvePercent(MacroResolver& resolver, const std::string& name, std::string& value) {
    if (EqualsNoCase(name, "system")) return resolver.SystemDirectory(value);
    if (EqualsNoCase(name, "windows") || EqualsNoCase(name, "windir")) return resolver.WindowsDirectory(value);
    if (EqualsNoCase(name, "tempdir")) return resolver.TempDirectory(value);
    return resolver.EnvironmentVariable(name.c_str(), value);
}

bool ResolveRegistry(MacroResolver& resolver, const std::string& inner, std::string& value) {
    size_t first = inner.find('\\');
    if (first == std::string::npos) return false;
    uintptr_t root = 0;
    for (const RootKeyAlias* a = RootKeyAliases; a->prefix; ++a) {
        if (inner.compare(0, std::strlen(a->prefix), a->prefix) == 0) {
            root = a->rootKey;
            break;
        }
    }
    if (!root) return false;
    size_t last = inner.rfind('\\');
    std::string subKey = last > first ? inner.substr(first + 1, last - first - 1) : std::string();
    std::string valueName = inner.substr(last + 1);
    std::vector<uint8_t> data;
    if (!resolver.RegistryValue(root, subKey.c_str(), valueName.c_str(), data) || data.empty()) return false;
    // The size counts the terminator of a string value; the value is one byte shorter.
    value.assign(data.begin(), data.end() - 1);
    return true;
}

bool Resolve(MacroResolver& resolver, const std::string& raw, bool registry, std::string& value, int depth) {
    if (depth > kMaxInnerDepth) return false;
    std::string inner;
    if (!Expand(resolver, raw, inner, depth + 1)) return false;
    return registry ? ResolveRegistry(resolver, inner, value) : ResolvePercent(resolver, inner, value);
}

// Replaces every macro, from the right to the left.
bool Expand(MacroResolver& resolver, const std::string& text, std::string& out, int depth) {
    std::vector<std::string> pieces;   // right to left
    size_t limit = text.size();
    for (;;) {
        size_t ps = 0, pe = 0, rs = 0, re = 0;
        bool percent = FindLast(text, limit, '%', '%', ps, pe);
        bool registry = FindLast(text, limit, '<', '>', rs, re);
        if (!percent && !registry) {
            pieces.push_back(text.substr(0, limit));
            break;
        }
        bool useRegistry = registry && (!percent || re > pe);
        size_t start = useRegistry ? rs : ps;
        size_t end = useRegistry ? re : pe;
        std::string value;
        if (!Resolve(resolver, text.substr(start + 1, end - start - 1), useRegistry, value, depth)) return false;
        pieces.push_back(text.substr(end + 1, limit - end - 1));
        pieces.push_back(std::move(value));
        limit = start;
    }
    out.clear();
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) out += *it;
    return true;
}

}  // namespace

size_t ExpandPathMacrosWith(MacroResolver& resolver, const char* text, char* out, size_t capacity) {
    if (!text) return 0;
    try {
        std::string result;
        if (!Expand(resolver, text, result, 0)) return 0;
        size_t n = result.size();
        if (out && capacity > n) {
            std::memcpy(out, result.data(), n);
            out[n] = '\0';
        }
        return n;
    } catch (...) {
        return 0;
    }
}

size_t ExpandSystemPrefixWith(MacroResolver& resolver, const char* text, char* out, size_t capacity) {
    if (!out || !capacity) return 0;
    out[0] = '\0';
    if (!text) return 0;
    size_t n = strnlen(text, kSystemPrefixMaxChars + 1);
    if (n > kSystemPrefixMaxChars || n >= capacity) return 0;
    std::memcpy(out, text, n + 1);

    size_t prefixLength = 0;
    bool system = false;
    if (StartsNoCase(text, "%system%\\")) {
        prefixLength = 9;
        system = true;
    } else if (StartsNoCase(text, "%windir%\\")) {
        prefixLength = 9;
    } else if (StartsNoCase(text, "%windows%\\")) {
        prefixLength = 10;
    } else {
        return n;
    }
    try {
        std::string dir;
        bool ok = system ? resolver.SystemDirectory(dir) : resolver.WindowsDirectory(dir);
        if (!ok || dir.empty()) return n;
        if (dir.back() != '\\') dir += '\\';
        size_t total = dir.size() + n - prefixLength;
        if (total <= kSystemPrefixMaxChars && total < capacity) {
            std::memcpy(out, dir.data(), dir.size());
            std::memcpy(out + dir.size(), text + prefixLength, n - prefixLength + 1);
            return total;
        }
    } catch (...) {
    }
    out[0] = '\0';
    return 0;
}
