#include "scan/repair_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/log_capture.h"
#include "scan/detect_core.h"
#include "tests/samples/sample_factory_core.h"

namespace {

using namespace samples;

// The plan as the scan makes it for a file it does not map: its head, then
// windows around each byte the plan lacks.
RepairPlan PlanThroughWindows(const Bytes& image, int verdict) {
    ImageRanges ranges(image.size());
    ranges.Add(0, image.data(), std::min(image.size(), kScanHeadBytes));
    RepairPlan plan = PlanRepair(ranges, verdict);
    while (!plan.decided && ranges.count() < ImageRanges::kMaxRanges) {
        const uint64_t from = plan.missing > 4096 ? (plan.missing - 4096) & ~uint64_t{511} : 0;
        const uint64_t to = std::min<uint64_t>(image.size(), plan.missing + 0x10000);
        ranges.Add(from, image.data() + from, static_cast<size_t>(to - from));
        plan = PlanRepair(ranges, verdict);
    }
    return plan;
}

class Repair : public ::testing::Test {
protected:
    // Repairs like the file-level caller: cut at the returned length.
    int64_t RepairCopy(Bytes& image, int verdict = 1) {
        const Bytes before = image;
        const RepairPlan windows = PlanThroughWindows(before, verdict);
        const size_t logged = log.text.size();
        const int64_t result = RepairImage(image.data(), image.size(), verdict, runLog, "C:\\host.exe");
        // The repair of a file too large to map, from a few windows of it,
        // comes to the same: the same result, attempt line and bytes.
        EXPECT_TRUE(windows.decided);
        EXPECT_EQ(windows.result, result);
        EXPECT_EQ(windows.attempted, log.text.size() > logged);
        if (result > 0) {
            Bytes patched = before;
            windows.ApplyTo(patched.data(), patched.size());
            patched.resize(static_cast<size_t>(result));
            EXPECT_TRUE(std::equal(patched.begin(), patched.end(), image.begin()));
        }
        if (result > 0) {
            EXPECT_LE(static_cast<size_t>(result), image.size());
            // Nothing past the cut is written.
            EXPECT_TRUE(std::equal(image.begin() + result, image.end(), before.begin() + result));
            image.resize(static_cast<size_t>(result));
        } else {
            EXPECT_EQ(image, before) << "a failed repair must leave the image as it was";
        }
        return result;
    }

    // Infects, checks detection, repairs and compares with the expected image.
    void RoundTrip(const Bytes& host, const InfectOptions& o) {
        const InfectedSample s = Infect(host, o);
        ASSERT_FALSE(s.image.empty()) << s.error;
        ASSERT_EQ(DetectInfection(s.image.data(), s.image.size()), 1);
        Bytes image = s.image;
        ASSERT_EQ(RepairCopy(image), static_cast<int64_t>(s.normalizedHost.size()));
        EXPECT_EQ(image, ExpectedAfterRepair(s.normalizedHost, s.image));
        const PeInfo before = ReadPe(host), after = ReadPe(image);
        EXPECT_EQ(after.entryPoint, before.entryPoint);
        EXPECT_EQ(after.sections, before.sections);
        EXPECT_EQ(after.sizeOfImage, before.sizeOfImage);
        EXPECT_EQ(after.length, before.length);
        EXPECT_EQ(DetectInfection(image.data(), image.size()), 0);
    }

    RunLog runLog;
    testsupport::LogCapture log{runLog};
};

TEST(InstructionLength, RowsNeedingBytesPastTheImageDoNotMatch) {
    const Bytes pair = {0x90, 0xC1, 0xC0, 5, 0xC1, 0xC8};
    EXPECT_EQ(InstructionLength(pair.data(), pair.size(), 1), 0u);
    EXPECT_EQ(InstructionLength(pair.data(), pair.size(), 6), 0u);
    EXPECT_EQ(InstructionLength(pair.data(), pair.size(), 0xFFFFFFFFull), 0u);
    const Bytes jumps = {0x74, 0x03, 0x75};
    EXPECT_EQ(InstructionLength(jumps.data(), jumps.size(), 0), 0u);
}

TEST(ApplyDwordOperation, EachOperationOnLittleEndianWords) {
    const uint32_t w = 0x80000001;
    EXPECT_EQ(ApplyDwordOperationToWord(kOpNot, w, 0), 0x7FFFFFFEu);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpDecrement, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpIncrement, 0xFFFFFFFF, 0), 0u);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpRotateLeft, w, 1), 0x00000003u);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpRotateLeft, w, 33), 0x00000003u);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpRotateLeft, w, 32), w);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpRotateRight, w, 1), 0xC0000000u);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpRotateRight, w, 0), w);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpSubtract, 1, 2), 0xFFFFFFFFu);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpXor, w, 0xFFFFFFFF), 0x7FFFFFFEu);
    EXPECT_EQ(ApplyDwordOperationToWord(kOpAdd, 0xFFFFFFFF, 2), 1u);

    Bytes image = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
    // Words at 1 and 5 (below the end offset 6); the one at 5 reaches byte 8.
    ASSERT_TRUE(ApplyDwordOperation(kOpAdd, image.data(), image.size(), 1, 6, 0x01010101));
    EXPECT_EQ(image, (Bytes{1, 1, 1, 1, 3, 1, 1, 1, 4, 0, 0, 0}));
}

TEST(ApplyDwordOperation, RefusesUnknownOperationsAndWordsOutsideTheImage) {
    const Bytes original = {1, 2, 3, 4, 5, 6, 7};
    Bytes image = original;
    EXPECT_FALSE(ApplyDwordOperation(0, image.data(), image.size(), 0, 4, 1));
    EXPECT_FALSE(ApplyDwordOperation(9, image.data(), image.size(), 0, 4, 1));
    EXPECT_FALSE(ApplyDwordOperation(kOpNot, image.data(), image.size(), 0, 5, 0));  // word at 4 ends at 8
    EXPECT_FALSE(ApplyDwordOperation(kOpNot, image.data(), image.size(), 0xFFFFFFFFFFFFFFF0ull,
                                     0xFFFFFFFFFFFFFFF8ull, 0));
    EXPECT_EQ(image, original);
    EXPECT_TRUE(ApplyDwordOperation(kOpNot, image.data(), image.size(), 3, 3, 0));
    EXPECT_TRUE(ApplyDwordOperation(kOpNot, image.data(), image.size(), 3, 4, 0));
    EXPECT_EQ(image, (Bytes{1, 2, 3, 0xFB, 0xFA, 0xF9, 0xF8}));
}

TEST_F(Repair, WholeFileThreatsAndOtherVerdicts) {
    Bytes image = MakeThreatFile({});
    EXPECT_EQ(RepairCopy(image, 2), 0);
    EXPECT_EQ(RepairCopy(image, 3), 0);
    EXPECT_EQ(RepairCopy(image, 0), -1);
    EXPECT_EQ(RepairCopy(image, 4), -1);
    EXPECT_EQ(log.text, "");
}

TEST_F(Repair, WritesItsAttemptLineOnlyForAPlausibleSectionCount) {
    const InfectedSample s = Infect(MakeCleanHost(), {});
    Bytes image = s.image;
    ASSERT_GT(RepairCopy(image), 0);
    EXPECT_EQ(log.text, "C:\\host.exe: Attempting to repair the virus\n\r\n");
    for (uint32_t n : {2u, 103u}) {
        log.text.clear();
        image = s.image;
        PutU16(image, 0x46, n);
        EXPECT_EQ(RepairCopy(image), -1);
        EXPECT_EQ(log.text, "");
    }
}

TEST_F(Repair, OneLayerRoundTrips) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        HostOptions h;
        h.seed = seed;
        h.sections = 1 + seed % 6;
        h.overlayBytes = seed % 4 ? 0 : 0x321;  // appended data survives the cut
        InfectOptions o;
        o.seed = seed;
        o.pointerRegister = static_cast<int>(seed % 6);
        o.jump = seed % 2 ? JumpKind::Near : JumpKind::Far;
        SCOPED_TRACE(seed);
        RoundTrip(MakeCleanHost(h), o);
    }
}

TEST_F(Repair, TwoLayerRoundTripsForEachSecondLayerOperation) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        InfectOptions o;
        o.seed = seed;
        o.form = BodyForm::TwoLayer;
        o.twoLayerOperation = seed % 3 == 0 ? 0x01 : seed % 3 == 1 ? 0x29 : 0x31;
        o.operationCount = static_cast<int>(1 + seed % 8);
        SCOPED_TRACE(seed);
        HostOptions h;
        h.seed = seed + 100;
        RoundTrip(MakeCleanHost(h), o);
    }
}

// Each form of instruction a decryptor mixes into its loop, before every
// operation and before the closing jump: a replay that steps over one by a
// wrong length misses or invents an operation, and the round trip fails.
TEST_F(Repair, DecryptorsWithEachInstructionFormRoundTrip) {
    for (int form = 0; form < kBodyInstructionForms; ++form) {
        for (uint32_t seed = 1; seed <= 8; ++seed) {
            InfectOptions o;
            o.seed = seed;
            o.form = seed % 2 ? BodyForm::OneLayer : BodyForm::TwoLayer;
            o.operationCount = 8;
            o.bodyInstruction = form;
            SCOPED_TRACE("form " + std::to_string(form) + ", seed " + std::to_string(seed));
            RoundTrip(MakeCleanHost({.seed = seed}), o);
        }
    }
}

TEST_F(Repair, DecryptorAtTheSearchLimits) {
    InfectOptions o;
    o.compareDistance = 1999;
    o.jumpOffset = 34;
    RoundTrip(MakeCleanHost(), o);
    o.form = BodyForm::TwoLayer;
    o.prevRawSize = 0xBFFF;  // unaligned sizes and compare offsets
    RoundTrip(MakeCleanHost(), o);
}

TEST_F(Repair, HostInfectedTwiceIsRepairedTwice) {
    const Bytes host = MakeCleanHost();
    const InfectedSample first = Infect(host, {});
    InfectOptions second;
    second.seed = 7;
    second.form = BodyForm::TwoLayer;
    const InfectedSample twice = Infect(first.image, second);
    ASSERT_FALSE(twice.image.empty()) << twice.error;

    Bytes image = twice.image;
    ASSERT_EQ(DetectInfection(image.data(), image.size()), 1);
    EXPECT_EQ(RepairCopy(image), static_cast<int64_t>(first.image.size()));
    EXPECT_EQ(ReadPe(image).entryPoint, first.infectedEntryPoint);
    ASSERT_EQ(DetectInfection(image.data(), image.size()), 1);
    EXPECT_EQ(RepairCopy(image), static_cast<int64_t>(host.size()));
    EXPECT_EQ(DetectInfection(image.data(), image.size()), 0);
    EXPECT_EQ(image, ExpectedAfterRepair(first.normalizedHost, twice.image));
}

TEST_F(Repair, RealProgramRoundTrips) {
    const Bytes notepad = ReadFileBytes("/usr/lib/i386-linux-gnu/wine/i386-windows/notepad.exe");
    if (notepad.empty()) GTEST_SKIP() << "no real PE file to infect";
    InfectOptions o;
    RoundTrip(notepad, o);
    o.form = BodyForm::TwoLayer;
    RoundTrip(notepad, o);
}

TEST_F(Repair, UnknownSecondLayerOperationFailsAndLeavesTheImage) {
    InfectOptions o;
    o.form = BodyForm::TwoLayer;
    for (int op : {0x00, 0x21, 0x2B, 0x33}) {
        o.twoLayerOperation = op;
        Bytes image = MakeInfected(MakeCleanHost(), o);
        ASSERT_EQ(DetectInfection(image.data(), image.size()), 1);
        EXPECT_EQ(RepairCopy(image), -1) << op;
    }
}

TEST_F(Repair, DamagedBodiesFailAndLeaveTheImage) {
    const InfectedSample one = Infect(MakeCleanHost(), {});
    InfectOptions o;
    o.form = BodyForm::TwoLayer;
    o.seed = 3;
    const InfectedSample two = Infect(MakeCleanHost(), o);
    auto failsAfter = [&](const InfectedSample& s, auto change) {
        Bytes image = s.image;
        change(image);
        return RepairCopy(image) == -1;
    };
    // No compare, so the body is never decrypted.
    EXPECT_TRUE(failsAfter(one, [&](Bytes& b) { b[one.compare] = 0x90; }));
    // The loop's jump out of reach.
    EXPECT_TRUE(failsAfter(one, [&](Bytes& b) { b[one.jump] = 0x90; }));
    // The second layer decrypts to something without its marker.
    EXPECT_TRUE(failsAfter(two, [&](Bytes& b) { b[two.sectionStart + 46] ^= 0x40; }));
    // The threat's section runs past the end of the file.
    EXPECT_TRUE(failsAfter(one, [&](Bytes& b) { b.resize(b.size() - 1); }));
    // Section start beyond the image.
    EXPECT_TRUE(failsAfter(one, [&](Bytes& b) {
        SetSectionField(b, GetU16(b, 0x46) - 2, kSecPointerToRawData, 0xFFFFFF00);
    }));
}

TEST_F(Repair, BodyAtTheStartOfTheFileIsNotAZeroLength) {
    // A body recognised at offset 0 would give the new length 0, which callers take
    // for "whole-file threat, delete it".
    Bytes image(0x2000, 0x90);
    Bytes body = {0x58, 0x60, 0xE8, 0, 0, 0, 0, 0x90, 0x58, 0x61, 0xE9, 0x10, 0, 0, 0};
    std::copy(body.begin(), body.end(), image.begin());
    PutU32(image, 0x3C, 0x100);
    PutU16(image, 0x106, 3);
    SetSectionField(image, 1, kSecVirtualAddress, 0x1000);
    SetSectionField(image, 1, kSecSizeOfRawData, 0x1000);
    SetSectionField(image, 1, kSecPointerToRawData, 0);
    EXPECT_EQ(RepairCopy(image), -1);
}

TEST(PlanCut, FirstSignatureOrBothAndTheReplacement) {
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const uint8_t first[] = {4, 0xCD};     // 3, any
    const uint8_t second[] = {8};          // 7
    const uint8_t replacement[] = {0xAA, 0xBB};
    CutRepairEntry e{nullptr, first, 2, nullptr, 0, replacement, 2};
    CutPlan plan = PlanCut(data.data(), data.size(), e);
    ASSERT_TRUE(plan.found);
    EXPECT_EQ(plan.cutStart, 2u);
    EXPECT_EQ(plan.cutEnd, 4u);
    EXPECT_EQ(ApplyCutPlan(data.data(), data.size(), plan, e), (Bytes{1, 2, 0xAA, 0xBB, 5, 6, 7, 8, 9}));

    e.second = second, e.secondLength = 1;
    plan = PlanCut(data.data(), data.size(), e);
    ASSERT_TRUE(plan.found);
    EXPECT_EQ(plan.cutEnd, 7u);
    EXPECT_EQ(ApplyCutPlan(data.data(), data.size(), plan, e), (Bytes{1, 2, 0xAA, 0xBB, 8, 9}));

    const uint8_t before[] = {2};  // the second signature only counts after the first
    e.second = before;
    EXPECT_FALSE(PlanCut(data.data(), data.size(), e).found);
    const uint8_t inside[] = {5};  // 4 lies within the first match, not after it
    e.second = inside;
    EXPECT_FALSE(PlanCut(data.data(), data.size(), e).found);
    EXPECT_FALSE(PlanCut(data.data(), 1, e).found);  // shorter than the first signature
}

TEST(RunCutEntry, OutcomesAndTheCallLimit) {
    constexpr CutResult N = CutResult::NothingFound, C = CutResult::Cut, W = CutResult::NotWritten;
    auto run = [](std::vector<CutResult> results) {
        size_t i = 0;
        int calls = 0;
        const CutOutcome outcome = RunCutEntry([&] {
            ++calls;
            return i < results.size() ? results[i++] : CutResult::Cut;
        });
        return std::make_pair(outcome, calls);
    };
    EXPECT_EQ(run({N}), std::make_pair(CutOutcome::NothingFound, 1));
    EXPECT_EQ(run({W}), std::make_pair(CutOutcome::CantRepair, 1));
    EXPECT_EQ(run({C, C, N}), std::make_pair(CutOutcome::Repaired, 3));
    EXPECT_EQ(run({C, W}), std::make_pair(CutOutcome::CantRepair, 2));
    EXPECT_EQ(run({}), std::make_pair(CutOutcome::CantRepair, kMaxCutsPerEntry));  // never stops cutting
    std::vector<CutResult> lastCallFindsNothing(kMaxCutsPerEntry - 1, C);
    lastCallFindsNothing.push_back(N);
    EXPECT_EQ(run(lastCallFindsNothing), std::make_pair(CutOutcome::CantRepair, kMaxCutsPerEntry));
}

}  // namespace
