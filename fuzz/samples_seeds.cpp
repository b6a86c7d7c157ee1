// Writes the sample factory's output as seed corpora: <dir>/<fuzzer>/<sample>.bin.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/samples/sample_factory_core.h"

using namespace samples;

namespace {

std::vector<std::pair<std::string, Bytes>> Samples() {
    std::vector<std::pair<std::string, Bytes>> out;
    HostOptions small;
    small.sections = 2;
    const Bytes host = MakeCleanHost(small);
    out.push_back({"clean_host", host});
    out.push_back({"clean_host_at40", NormalizeHost(host)});
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        InfectOptions o;
        o.seed = seed;
        o.form = seed % 2 ? BodyForm::OneLayer : BodyForm::TwoLayer;
        o.prevRawSize = 0x4200;
        out.push_back({"infected_" + std::to_string(seed), MakeInfected(host, o)});
    }
    InfectOptions exact;
    exact.junkCount = 2;
    exact.prevRawSize = 0x4200;
    out.push_back({"infected_junk2", MakeInfected(host, exact)});
    exact.junkCount = 3;
    out.push_back({"infected_junk3", MakeInfected(host, exact)});
    InfectOptions bad;
    bad.form = BodyForm::TwoLayer;
    bad.twoLayerOperation = 0x21;
    bad.prevRawSize = 0x4200;
    out.push_back({"infected_bad_op", MakeInfected(host, bad)});
    InfectOptions second;
    second.seed = 9;
    second.prevRawSize = 0x4200;
    out.push_back({"infected_twice", MakeInfected(MakeInfected(host, {}), second)});
    ThreatFileOptions t;
    out.push_back({"threat_build1", MakeThreatFile(t)});
    t.build = 2;
    out.push_back({"threat_build2", MakeThreatFile(t)});
    PackedOptions p;
    p.crc = kPackedThreatCrcs[0];
    out.push_back({"packed", MakePackedThreat(p)});
    p.crc = kDropperCrcs[0];
    out.push_back({"dropper", MakeDropper(p)});
    p.crc = 0x12345678;
    p.infectedTail = true;
    out.push_back({"packed_unlisted_tail", MakePackedThreat(p)});
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const auto samples = Samples();
    for (const char* fuzzer : {"detect_fuzz", "repair_fuzz", "head_fuzz"}) {
        const std::filesystem::path dir = std::filesystem::path(argv[1]) / fuzzer;
        std::filesystem::create_directories(dir);
        for (const auto& [name, bytes] : samples) {
            if (bytes.empty()) {
                std::fprintf(stderr, "sample %s could not be made\n", name.c_str());
                return 1;
            }
            std::ofstream out(dir / (name + ".bin"), std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
    }
    return 0;
}
