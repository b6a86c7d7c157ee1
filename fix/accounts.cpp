#include "fix/accounts.h"

void RemoveGroupMembers(RemovalRun&) {}
void DisableAccounts(RemovalRun&) {}
