#include "procs/shell.h"

void RestartShell(RemovalRun&) {}
