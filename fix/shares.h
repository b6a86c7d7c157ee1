// Network shares (NT) and share passwords (9x); they set run.sharesFound and
// run.sharesSecured.
#pragma once
struct RemovalRun;

void SecureSharesNt(RemovalRun& run);
// Both password buffers hold at least 9 characters and may be rewritten.
void SecureShares9x(RemovalRun& run, char* readWritePassword, char* readOnlyPassword);
