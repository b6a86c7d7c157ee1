// The /QUARANTINE= copies: before a file is repaired or deleted, its bytes
// and what is known of it go to the quarantine folder, in the form the native
// scanner uses, so that either program can put the original back.
// Native paths: wide with "\\?\" on the NT family, ANSI on 9x.
#pragma once
#include <string>

struct RemovalRun;

extern const char kQuarantineCopyFailedText[];   // the file line of a file left unchanged
extern const char kQuarantineSkippedText[];      // the directory line of a quarantine folder

// Keeps a copy of the file at path; entry gets the entry's name. True also
// when no quarantine was asked for (entry stays empty). False: the file must
// not be changed.
template <typename C>
bool QuarantineFile(RemovalRun& run, const C* path, const char* action, std::string& entry);
// Adds the hash of the file the change left at path to the entry.
template <typename C>
void RecordQuarantineLeft(RemovalRun& run, const C* path, const std::string& entry);
// Whether the folder at path (native, no trailing backslash) holds the marker
// of a quarantine.
template <typename C>
bool IsQuarantineFolder(const RemovalRun& run, const C* path);
