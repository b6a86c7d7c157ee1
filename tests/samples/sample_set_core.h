// The set of factory samples that the Windows program (under Wine) and the
// native scanner are both checked against: every sample with the verdict it
// must get and, for infected hosts, the exact bytes a repair must give.
// Portable.
#pragma once
#include <string>
#include <vector>

#include "tests/samples/sample_factory_core.h"

namespace samples {

enum class Expect { Clean, Repaired, Failed, Deleted };

struct SetSample {
    std::string name;            // relative path, '/' between folders
    Bytes image;
    Expect expect = Expect::Clean;
    const char* detection = nullptr;   // the "infected with" name
    int layers = 1;
    Bytes repaired;              // what a repaired file must hold
    Bytes host;                  // the normalized host
};

// The set built over two real programs: `program` (a small program of the
// build) and `systemProgram` (one of the machine's), stored as
// "<programName>-one.exe", ... and "sys/<systemName>". Empty `error` on success.
struct SampleSet {
    std::vector<SetSample> samples;
    std::string error;
};
SampleSet BuildSampleSet(const Bytes& program, const std::string& programName, const Bytes& systemProgram,
                         const std::string& systemName);

// The folders the set's names use.
extern const char* const kSampleSetFolders[];

}  // namespace samples
