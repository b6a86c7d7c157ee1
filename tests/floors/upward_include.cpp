// Built by the floors test only: a file of the run's floor that includes a
// header of its own floor, then one of a subsystem above it. The build must
// refuse the second.
#include "run/log_core.h"
#include "scan/detect_core.h"
