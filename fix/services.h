// Threat services: mode 1 stops them, mode 2 deletes them.
#pragma once

int StopAndRemoveServices(int mode);
