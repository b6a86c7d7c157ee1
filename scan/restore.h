// /RESTORE=: puts back the originals a quarantine folder holds (of either
// program), through a copy beside the file and one move that replaces it; a
// file in use is put back at the next restart. The rules are the native
// scanner's: a file changed since the run is left unless /FORCE is given.
#pragma once

struct RemovalRun;

// One line per file and the summary (in a dry run: what would be put back,
// and nothing is changed); sets the run's exit code by the restore's rules.
// False (with its line) when the folder cannot be used.
bool RestoreFromQuarantine(RemovalRun& run);
