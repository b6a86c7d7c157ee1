// Expansion of the threat definition's path macros against this machine.
#pragma once
#include <cstddef>

// Expands every %name% and <registry value> macro of an ANSI text. Returns the
// expanded length without terminator, 0 when the text is absent or a macro
// cannot be resolved. Writes only when out is given and capacity (characters,
// terminator included) holds the result: callers measure with (nullptr, 0),
// then expand into a buffer of the measured length plus one and use it only
// when both calls agree.
size_t ExpandPathMacros(const char* text, char* out, size_t capacity);

// Expands a leading "%system%\", "%windir%\" or "%windows%\" into `out`
// (capacity in bytes, 261). Returns the length written, 0 on failure.
size_t ExpandSystemPrefix(const char* path, char* out, size_t capacity);
