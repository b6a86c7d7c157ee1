// Ending processes by the image names of a table.
#pragma once
#include "run/threat_definition.h"

struct RemovalRun;

// Ends every process whose image path contains a name of the table (ignoring
// case), logs and counts each; a record whose process was ended is done for
// the rest of the run (run.imageTermination). The index of the last record for which a
// process was ended, -1 when none was (also for a null table).
int TerminateProcessesByImage(RemovalRun& run, const ImageTerminationRecord* table);
