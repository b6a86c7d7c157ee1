// Local group members and accounts (NT family).
#pragma once
struct RemovalRun;

void RemoveGroupMembers(RemovalRun& run);
void DisableAccounts(RemovalRun& run);
