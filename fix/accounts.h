// Local group members and accounts (NT family).
#pragma once
struct RemovalRun;

// Each loads the network library for its one call. Only a change that took
// place is logged (followed by an empty line) and counted.
void RemoveGroupMember(RemovalRun& run, const wchar_t* member, const wchar_t* group);
void DisableAccount(RemovalRun& run, const wchar_t* account);

// Every entry of the definition's lists.
void RemoveGroupMembers(RemovalRun& run);
void DisableAccounts(RemovalRun& run);
