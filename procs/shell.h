// Restart of the 9x shell.
#pragma once

// Starts "<windows>\explorer.exe" when no process's path holds
// "explorer.exe"; the result of the process creation (0 when none was made).
int RestartShell();
