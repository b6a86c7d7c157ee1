#include "fix/services.h"

void StopAndRemoveServices(RemovalRun&, ServicePass) {}
