#include "fix/accounts.h"

void RemoveGroupMembers() {}
void DisableAccounts() {}
