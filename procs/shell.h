// Restart of the 9x shell.
#pragma once

void RestartShell();
