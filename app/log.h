// The log file and the program's own version texts (Win32 side of the log).
#pragma once
#include <windows.h>

#include <string>

#include "app/log_core.h"

// Creates the log file anew (read-only and hidden cleared first) and hands it
// to the run's log. On failure logging stays off and false is returned.
bool OpenLogFile(RunLog& log, const char* path);

// Product name, a blank and the product version from our version resource.
std::string GetProductTitle();
// LegalCopyright of our version resource, or empty.
std::string GetLegalNoticeText();
// The application's name: the program file's base name.
std::string GetAppName();
