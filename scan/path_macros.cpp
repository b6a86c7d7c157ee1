#include "scan/path_macros.h"

#include <windows.h>

#include "scan/path_macros_core.h"
#include "win32/unique_handle.h"

namespace {

// Runs a "size in, length out" system query until the text fits.
template <typename Query>
bool QueryText(Query query, std::string& out) {
    DWORD size = query(nullptr, 0);
    for (int attempt = 0; size && attempt < 4; ++attempt) {
        out.assign(size, '\0');
        DWORD n = query(&out[0], size);
        if (n == 0) {
            // A size of 1 is an empty value (a defined but empty variable).
            out.clear();
            return size == 1;
        }
        if (n < size) {
            out.resize(n);
            return true;
        }
        size = n + 1;   // grew in between
    }
    return false;
}

class SystemResolver : public MacroResolver {
public:
    bool SystemDirectory(std::string& out) override {
        return QueryText([](char* b, DWORD n) { return static_cast<DWORD>(GetSystemDirectoryA(b, n)); }, out);
    }
    bool WindowsDirectory(std::string& out) override {
        return QueryText([](char* b, DWORD n) { return static_cast<DWORD>(GetWindowsDirectoryA(b, n)); }, out);
    }
    bool TempDirectory(std::string& out) override {
        return QueryText([](char* b, DWORD n) { return GetTempPathA(n, b); }, out);
    }
    bool EnvironmentVariable(const char* name, std::string& out) override {
        return QueryText([name](char* b, DWORD n) { return GetEnvironmentVariableA(name, b, n); }, out);
    }
    bool RegistryValue(uintptr_t rootKey, const char* subKey, const char* valueName,
                       std::vector<uint8_t>& out) override {
        win32::UniqueKey key;
        if (RegOpenKeyExA(reinterpret_cast<HKEY>(rootKey), subKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            return false;
        DWORD type = 0, size = 0;
        if (RegQueryValueExA(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || !size)
            return false;
        out.assign(size, 0);
        if (RegQueryValueExA(key.get(), valueName, nullptr, &type, out.data(), &size) != ERROR_SUCCESS) return false;
        out.resize(size);
        return true;
    }
};

}  // namespace

size_t ExpandPathMacros(const char* text, char* out, size_t capacity) {
    SystemResolver resolver;
    return ExpandPathMacrosWith(resolver, text, out, capacity);
}

size_t ExpandSystemPrefix(const char* path, char* out, size_t capacity) {
    SystemResolver resolver;
    return ExpandSystemPrefixWith(resolver, path, out, capacity);
}
