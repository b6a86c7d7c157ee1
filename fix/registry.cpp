#include "fix/registry.h"

void RunRegistryPass(TrevaskDlg&) {}
