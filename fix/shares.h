// Network shares (NT) and share passwords (9x).
#pragma once
#include <cstdint>

void SecureSharesNt(uint32_t& sharesFound, uint32_t& sharesSecured, bool fixShares, bool deleteAdminShares);
// Both password buffers hold at least 9 characters and may be rewritten.
void SecureShares9x(uint32_t& sharesFound, uint32_t& sharesSecured, char* readWritePassword,
                    char* readOnlyPassword, bool fixShares, bool deleteAdminShares);
