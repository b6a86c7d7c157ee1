#include "fix/shares.h"

void SecureSharesNt(uint32_t& sharesFound, uint32_t& sharesSecured, bool, bool) {
    sharesFound = 0;
    sharesSecured = 0;
}

void SecureShares9x(uint32_t& sharesFound, uint32_t& sharesSecured, char*, char*, bool, bool) {
    sharesFound = 0;
    sharesSecured = 0;
}
