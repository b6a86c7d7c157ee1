#include "tests/samples/sample_set_core.h"

namespace samples {

const char* const kSampleSetFolders[] = {"sys", "forms", "bounds", "twice", "threats", "clean", nullptr};

namespace {

struct Builder {
    SampleSet set;
    void Add(const std::string& name, const Bytes& image, Expect expect, const char* detection = nullptr,
             const Bytes& host = {}, int layers = 1) {
        if (image.empty()) {
            if (set.error.empty()) set.error = name + ": no image";
            return;
        }
        SetSample s{name, image, expect, detection, layers, {}, NormalizeHost(host)};
        if (expect == Expect::Repaired) s.repaired = ExpectedAfterRepair(s.host, image);
        set.samples.push_back(std::move(s));
    }
    void Infected(const std::string& name, const Bytes& host, const InfectOptions& o) {
        InfectedSample s = Infect(host, o);
        if (s.image.empty() && set.error.empty()) set.error = name + ": " + s.error;
        Add(name, s.image, Expect::Repaired, "W32.Quorvin!inf", host);
    }
};

}  // namespace

SampleSet BuildSampleSet(const Bytes& program, const std::string& programName, const Bytes& systemProgram,
                         const std::string& systemName) {
    Builder b;
    b.Infected(programName + "-one.exe", program, {.seed = 101, .form = BodyForm::OneLayer});
    b.Infected(programName + "-two.exe", program, {.seed = 102, .form = BodyForm::TwoLayer});
    b.Infected("sys/" + systemName, systemProgram, {.seed = 103});
    // Both body forms, every pointer register, operation mixes, both kinds of
    // loop jump, hosts of one to eight sections, with and without overlay.
    for (int reg = 0; reg < 6; ++reg) {
        HostOptions h;
        h.seed = 200 + reg;
        h.sections = 1 + reg;
        h.overlayBytes = reg % 2 ? 0x300 : 0;
        InfectOptions o;
        o.seed = 300 + reg;
        o.form = reg % 2 ? BodyForm::TwoLayer : BodyForm::OneLayer;
        o.pointerRegister = reg;
        o.counterRegister = (reg + 1) % 6;
        o.operationCount = 1 + reg;
        o.jump = reg % 3 == 0 ? JumpKind::Near : JumpKind::Far;
        b.Infected("forms/reg" + std::to_string(reg) + ".exe", MakeCleanHost(h), o);
    }
    for (int op : {0x01, 0x29, 0x31}) {
        InfectOptions o;
        o.seed = 400 + op;
        o.form = BodyForm::TwoLayer;
        o.twoLayerOperation = op;
        o.operationCount = 8;
        b.Infected("forms/op" + std::to_string(op) + ".exe", MakeCleanHost({.seed = 401}), o);
    }
    // Boundaries of the detection: section sizes and the junk count.
    const Bytes small = MakeCleanHost({.seed = 500});
    b.Infected("bounds/size4200.exe", small, {.seed = 501, .prevRawSize = 0x4200});
    b.Infected("bounds/sizeBE00.exe", small, {.seed = 502, .prevRawSize = 0xBE00});
    b.Add("bounds/size4000.exe", MakeInfected(small, {.seed = 503, .prevRawSize = 0x4000}), Expect::Clean);
    b.Add("bounds/sizeC000.exe", MakeInfected(small, {.seed = 504, .prevRawSize = 0xC000}), Expect::Clean);
    b.Infected("bounds/junk3.exe", small, {.seed = 505, .junkCount = 3});
    b.Add("bounds/junk2.exe", MakeInfected(small, {.seed = 506, .junkCount = 2}), Expect::Clean);
    b.Add("bounds/jump35.exe", MakeInfected(small, {.seed = 507, .jumpOffset = 35}), Expect::Clean);
    // A file infected twice, and one whose second layer cannot be undone.
    InfectedSample once = Infect(small, {.seed = 510});
    b.Add("twice/twice.exe", MakeInfected(once.image, {.seed = 511, .form = BodyForm::TwoLayer}), Expect::Repaired,
          "W32.Quorvin!inf", small, 2);
    b.Add("twice/badop.exe", MakeInfected(small, {.seed = 512, .form = BodyForm::TwoLayer, .twoLayerOperation = 0x33}),
          Expect::Failed, "W32.Quorvin!inf");
    // The threat's own files, the packed form and the dropper.
    b.Add("threats/build1.dll", MakeThreatFile({.build = 1}), Expect::Deleted, "W32.Quorvin");
    b.Add("threats/build2.dll", MakeThreatFile({.seed = 2, .build = 2}), Expect::Deleted, "W32.Quorvin");
    b.Add("threats/novcab.dll", MakeThreatFile({.seed = 3, .withVCab = false}), Expect::Clean);
    b.Add("threats/packed.exe", MakePackedThreat({.seed = 4, .crc = kPackedThreatCrcs[8]}), Expect::Deleted,
          "W32.Quorvin");
    b.Add("threats/packed-off.exe", MakePackedThreat({.seed = 5, .crc = 0x12345678}), Expect::Clean);
    b.Add("threats/packed-tail.exe", MakePackedThreat({.seed = 6, .crc = 0x12345678, .infectedTail = true}),
          Expect::Clean);
    b.Add("threats/dropper.exe", MakeDropper({.seed = 7, .crc = kDropperCrcs[4]}), Expect::Deleted, "W32.Quorvin!dr");
    b.Add("threats/dropper-off.exe", MakeDropper({.seed = 8, .crc = kPackedThreatCrcs[0]}), Expect::Clean);
    // Clean files of every kind.
    b.Add("clean/" + programName + ".exe", program, Expect::Clean);
    b.Add("clean/host.exe", small, Expect::Clean);
    b.Add("clean/short.exe", Bytes{'M', 'Z', 1, 2, 3}, Expect::Clean);
    b.Add("clean/text.txt", Bytes(5000, 'q'), Expect::Clean);
    return b.set;
}

}  // namespace samples
