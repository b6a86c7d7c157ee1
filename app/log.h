// The log file and the program's own version texts (Win32 side of the log).
#pragma once
#include <windows.h>

#include <string>

#include "app/log_core.h"

// Creates the log file anew (read-only and hidden cleared first). On failure
// logging stays off and false is returned.
bool OpenLogFile(const char* path);
void FlushLogFile();
void CloseLogFile();

// A path line for a wide native path: a leading "\\?\" is skipped and the
// rest converted to the system code page (at most 1920 bytes).
void WritePathLine(const wchar_t* path, const char* format, ...);
void WritePathLineV(const wchar_t* path, const char* format, va_list args);

// Product name, a blank and the product version from our version resource.
std::string GetProductTitle();
// LegalCopyright of our version resource, or empty.
std::string GetLegalNoticeText();
// The application's name: the program file's base name.
std::string GetAppName();
