// Writes the sample set into a folder of the host (for the native scanner's
// demo and the log reader's tests): write_samples_tool DIR PROGRAM.exe [SYSTEM-PROGRAM.exe]
// PROGRAM.exe "-" takes a clean host of the factory (named "prog") where no
// program of the Windows build is at hand.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/samples/sample_set_core.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIR PROGRAM.exe [SYSTEM-PROGRAM.exe]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const bool factory = std::string(argv[2]) == "-";
    samples::Bytes program = factory ? samples::MakeCleanHost({.seed = 9, .sections = 3}) : samples::ReadFileBytes(argv[2]);
    samples::Bytes system = argc > 3 ? samples::ReadFileBytes(argv[3]) : samples::MakeCleanHost({.seed = 7});
    std::string name = factory ? "prog" : argv[2];
    name = name.substr(name.rfind('/') + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
    samples::SampleSet set = samples::BuildSampleSet(program, name, system, "system.exe");
    if (!set.error.empty()) {
        std::fprintf(stderr, "%s\n", set.error.c_str());
        return 1;
    }
    ::mkdir(dir.c_str(), 0755);
    for (const char* const* f = samples::kSampleSetFolders; *f; ++f) ::mkdir((dir + "/" + *f).c_str(), 0755);
    for (const samples::SetSample& s : set.samples) {
        std::ofstream out(dir + "/" + s.name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(s.image.data()), static_cast<std::streamsize>(s.image.size()));
        if (!out) return 1;
        std::printf("%-28s %s\n", s.name.c_str(),
                    s.expect == samples::Expect::Clean      ? "clean"
                    : s.expect == samples::Expect::Repaired ? "infected, repairable"
                    : s.expect == samples::Expect::Failed   ? "infected, not repairable"
                                                            : "threat file");
    }
    return 0;
}
