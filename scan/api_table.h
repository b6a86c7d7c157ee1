// The table of file and registry-value functions, wide or ANSI per platform.
#pragma once

// Fills the table for the platform of this run; 1 when every required slot is filled.
int LoadApiTable();
