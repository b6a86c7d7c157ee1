// Detection and repair from part of an image against the whole image: for any
// bytes and any head length (taken from the input), and with one more window
// anywhere, a decided verdict is the verdict of the whole image (so a head that
// says clean never hides a detection), and a decided repair plan is the plan of
// the whole image. The ranges are exactly sized heap blocks, so ASan sees any
// read outside them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "scan/detect_core.h"
#include "scan/repair_core.h"

namespace {

std::unique_ptr<uint8_t[]> Copy(const uint8_t* data, size_t from, size_t size) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(block.get(), data + from, size);
    return block;
}

bool SamePlan(const RepairPlan& a, const RepairPlan& b) {
    if (a.result != b.result || a.attempted != b.attempted || a.fieldCount != b.fieldCount) return false;
    for (size_t i = 0; i < a.fieldCount; ++i)
        if (a.fields[i].offset != b.fields[i].offset || a.fields[i].width != b.fields[i].width ||
            a.fields[i].value != b.fields[i].value)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    // The cut points come from the input's own bytes: its head and a window.
    uint32_t a = 0, b = 0;
    std::memcpy(&a, data, 4);
    std::memcpy(&b, data + 4, 4);
    const size_t head = a % (size + 1);
    const size_t windowAt = b % (size + 1);
    const size_t windowSize = (b >> 16) % (size - windowAt + 1);

    const std::unique_ptr<uint8_t[]> whole = Copy(data, 0, size);
    const std::unique_ptr<uint8_t[]> headBytes = Copy(data, 0, head);
    const std::unique_ptr<uint8_t[]> window = Copy(data, windowAt, windowSize);
    const int verdict = DetectInfection(whole.get(), size);

    const PartialVerdict fromHead = DetectFromHead(headBytes.get(), head, size);
    if (fromHead.decided && fromHead.verdict != verdict) __builtin_trap();
    if (!fromHead.decided && (head == size || fromHead.missing >= size)) __builtin_trap();

    ImageRanges ranges(size);
    ranges.Add(0, headBytes.get(), head);
    ranges.Add(windowAt, window.get(), windowSize);
    const PartialVerdict fromRanges = DetectInRanges(ranges);
    if (fromRanges.decided && fromRanges.verdict != verdict) __builtin_trap();

    const RepairPlan plan = PlanRepair(ranges, kVerdictInfectedHost);
    if (plan.decided && !SamePlan(plan, PlanRepair(ImageRanges(whole.get(), size), kVerdictInfectedHost)))
        __builtin_trap();
    if (std::memcmp(whole.get(), data, size) != 0) __builtin_trap();
    return 0;
}
