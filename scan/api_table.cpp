#include "scan/api_table.h"

int LoadApiTable() { return 1; }
