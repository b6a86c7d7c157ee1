// Expansion of the path macros of the threat definition's tables: %name%
// (built-in directories and environment variables) and <registry value>.
// Portable: the system is reached through a MacroResolver.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class MacroResolver {
public:
    virtual ~MacroResolver() = default;
    // Each gives the value's text (no terminator); false when it cannot be
    // resolved.
    virtual bool SystemDirectory(std::string& out) = 0;
    virtual bool WindowsDirectory(std::string& out) = 0;
    virtual bool TempDirectory(std::string& out) = 0;          // with its trailing backslash
    virtual bool EnvironmentVariable(const char* name, std::string& out) = 0;
    // Raw data of a value of any type, terminator included as stored; valueName
    // empty for the key's default value. Empty data counts as unresolved.
    virtual bool RegistryValue(uintptr_t rootKey, const char* subKey, const char* valueName,
                               std::vector<uint8_t>& out) = 0;
};

// Length of the expanded text without its terminator; 0 when the text is
// absent or a macro cannot be resolved. The text is written (terminated) only
// when out is given and capacity, in characters including the terminator,
// holds it; otherwise the call only measures.
size_t ExpandPathMacrosWith(MacroResolver& resolver, const char* text, char* out, size_t capacity);

constexpr size_t kSystemPrefixMaxChars = 260;

// Expands a leading "%system%\", "%windir%\" or "%windows%\" into out
// (capacity in bytes, 261 expected). A text without one of them is copied
// unchanged; a text or result longer than 260 characters gives an empty
// output. Returns the length written.
size_t ExpandSystemPrefixWith(MacroResolver& resolver, const char* text, char* out, size_t capacity);
