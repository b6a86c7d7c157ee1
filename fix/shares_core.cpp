#include "fix/shares_core.h"

#include <cstring>

namespace {

void PutPassword(uint8_t* field, const char* text) {
    std::memset(field, 0, kSharePasswordField);
    for (size_t i = 0; text && i < kSharePasswordChars && text[i]; ++i) {
        char c = text[i];
        field[i] = static_cast<uint8_t>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    }
}

}  // namespace

bool IsDollarShareName(const char* name) { return name && name[0] && name[1] == '$'; }

bool ApplySharePasswords(uint8_t* record, const char* readWrite, const char* readOnly) {
    if (record[kReadWritePasswordOffset] || record[kReadOnlyPasswordOffset]) return false;
    PutPassword(record + kReadWritePasswordOffset, readWrite);
    PutPassword(record + kReadOnlyPasswordOffset, readOnly);
    return true;
}
