#include "fix/services.h"

int StopAndRemoveServices(int) { return 0; }
