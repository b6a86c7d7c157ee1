// The log file and the program's own version texts (Win32 side of the log).
#pragma once
#include <windows.h>

#include <string>

#include "run/log_core.h"

// Creates the log file anew (read-only and hidden cleared first) and hands it
// to the run's log. On failure logging stays off and false is returned.
bool OpenLogFile(RunLog& log, const char* path);

// A silent run's log where its own path cannot be created: `name` in the
// temporary folder, else in the current directory. Returns the path that was
// created, empty when none could be.
std::string OpenFallbackLog(RunLog& log, const char* failedPath, const char* name);

// Product name, a blank and the product version from our version resource.
std::string GetProductTitle();
// LegalCopyright of our version resource, or empty.
std::string GetLegalNoticeText();
// The application's name: the program file's base name.
std::string GetAppName();
