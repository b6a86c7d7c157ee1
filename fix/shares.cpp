#include "fix/shares.h"

#include "app/run_context.h"

void SecureSharesNt(RemovalRun& run) {
    run.sharesFound = 0;
    run.sharesSecured = 0;
}

void SecureShares9x(RemovalRun& run, char*, char*) {
    run.sharesFound = 0;
    run.sharesSecured = 0;
}
