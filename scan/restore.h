// /RESTORE=: puts back the originals a quarantine folder holds (of either
// program), through a copy beside the file and one move that replaces it; a
// file in use is put back at the next restart. The rules are the native
// scanner's: a file changed since the run is left unless /FORCE is given.
#pragma once

struct RemovalRun;

// One line per file and the summary; false (with its line) when the folder
// cannot be used.
bool RestoreFromQuarantine(RemovalRun& run);
