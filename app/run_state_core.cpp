#include "app/run_state.h"

RemovalStats g_stats;
RunFlags g_run;

void ResetRunState() {
    g_stats = RemovalStats{};
    g_run = RunFlags{};
}
