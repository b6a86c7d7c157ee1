// The 9x share password rule over a level-50 share record. Portable.
#pragma once
#include <cstddef>
#include <cstdint>

// A level-50 share record as the server library lays it out (packed):
// name[13], type, flags, remark and path pointers, then the read/write and
// read-only passwords in 9-byte fields. The program reads and writes it in
// a 564-byte buffer (the record and room for its two strings).
constexpr size_t kShareRecord50Bytes = 564;
constexpr size_t kShareInfo50Bytes = 42;
constexpr size_t kReadWritePasswordOffset = 24;
constexpr size_t kReadOnlyPasswordOffset = 33;
constexpr size_t kSharePasswordField = 9;
constexpr size_t kSharePasswordChars = 8;

// Names such as "C$" and "A$X": the second character is "$".
bool IsDollarShareName(const char* name);

// A share with neither password gets both arguments' first 8 characters,
// upper-cased and zero-padded; one with a password keeps both. True when
// the record was changed.
bool ApplySharePasswords(uint8_t* record, const char* readWrite, const char* readOnly);
