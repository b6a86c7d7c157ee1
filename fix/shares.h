// Network shares (NT) and share passwords (9x); they set run.sharesFound and
// run.sharesSecured from the run's fixShares and deleteAdminShares options.
// False when the work could not begin (a library function or the shares key
// missing); all failures are silent but the descriptor messages of the NT
// form, which go to standard output.
#pragma once
struct RemovalRun;

bool SecureSharesNt(RemovalRun& run);
// Both password buffers hold at least 9 characters.
bool SecureShares9x(RemovalRun& run, char* readWritePassword, char* readOnlyPassword);
