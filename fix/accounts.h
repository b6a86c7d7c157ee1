// Local group members and accounts (NT family).
#pragma once

void RemoveGroupMembers();
void DisableAccounts();
