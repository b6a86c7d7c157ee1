// DetectInfection per image: a clean program, a file that is no program, and a
// candidate whose headers pass the infected-host test but that holds no decryptor.
// QUORVIN_BENCH_PE names a real program file to use as the clean one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>

#include "scan/detect_core.h"
#include "tests/samples/sample_factory_core.h"

using namespace samples;

namespace {

void Detect(benchmark::State& state, const Bytes& image) {
    if (image.empty()) {
        state.SkipWithError("no sample");
        return;
    }
    // One iteration is one file: the Time column is the time per file.
    for (auto _ : state) benchmark::DoNotOptimize(DetectInfection(image.data(), image.size()));
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = static_cast<double>(image.size());
}

Bytes CleanProgram() {
    if (const char* path = std::getenv("QUORVIN_BENCH_PE")) {
        Bytes real = ReadFileBytes(path);
        if (!real.empty()) return real;
    }
    HostOptions o;
    o.sections = 5;
    return NormalizeHost(MakeCleanHost(o));
}

Bytes NotAProgram() {
    Bytes text(64 * 1024);
    Rng rng(3);
    for (auto& b : text) b = static_cast<uint8_t>('a' + rng.Below(26));
    return text;
}

// Every compare byte removed: the search tries all 2000 positions in vain.
Bytes CandidateWithoutDecryptor() {
    InfectedSample s = Infect(MakeCleanHost(), {});
    for (uint32_t i = s.sectionStart; i + 2 < s.image.size(); ++i)
        if (s.image[i] == 0x83) s.image[i] = 0x90;
    return s.image;
}

// Compare and jump every nine bytes with no junk around: each position costs the
// whole jump search and junk window, the bound of the search.
Bytes CandidateFullOfCompares() {
    Bytes image = CandidateWithoutDecryptor();
    static const uint8_t kUnit[] = {0x83, 0xF9, 0x00, 0x0F, 0x85, 0x00, 0x00, 0x00, 0x00};
    const size_t end = image.size();
    for (size_t at = end - 2400; at + sizeof kUnit <= end; at += sizeof kUnit)
        std::copy(kUnit, kUnit + sizeof kUnit, image.begin() + at);
    return image;
}

}  // namespace

BENCHMARK_CAPTURE(Detect, clean_program, CleanProgram());
BENCHMARK_CAPTURE(Detect, not_a_program, NotAProgram());
BENCHMARK_CAPTURE(Detect, candidate_without_decryptor, CandidateWithoutDecryptor());
BENCHMARK_CAPTURE(Detect, candidate_full_of_compares, CandidateFullOfCompares());

BENCHMARK_MAIN();
