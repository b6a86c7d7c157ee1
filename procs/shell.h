// Restart of the 9x shell.
#pragma once
struct RemovalRun;

void RestartShell(RemovalRun& run);
