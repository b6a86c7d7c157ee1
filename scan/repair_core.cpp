#include "scan/repair_core.h"

#include <algorithm>
#include <memory>
#include <new>

#include "run/log_core.h"
#include "procs/pattern_core.h"
#include "scan/detect_core.h"

const char kRepairAttemptText[] = "Attempting to repair the virus\n";
const char kFileRepairedText[] = "File repaired.";
const char kRepairAtRebootText[] = "will be repaired at the next reboot";
const char kRepairFailedText[] =
    "ERROR! Repair failed, the file is corrupted, please replace it from a backup copy.";
const char kCantRepairText[] = ": (can't repair)";
const char kCutDeletedText[] = " (deleted)";
const char kCutRepairedText[] = ": (repaired)";

namespace {

constexpr uint32_t kMaxSections = 0x66;
constexpr uint32_t kJumpSearchFirst = 3, kJumpSearchLast = 34;
constexpr uint32_t kNearJumpLimit = 34;       // larger displacements: body right after the jump
constexpr uint32_t kRegisterSearch = 100;
constexpr uint32_t kReplayLast = 189;
constexpr uint32_t kInnerFirst = 45, kInnerEnd = 800;  // words of the second layer
constexpr uint32_t kInnerMarker = 0xE8605861;           // 61 58 60 E8 once decrypted
constexpr uint32_t kExitJumpSearch = 400;

// Register numbers in the addressing byte, in the order the ops are tested.
constexpr uint8_t kRegisters[] = {0, 3, 1, 2, 6, 7};  // eax ebx ecx edx esi edi

int Hi(int b) { return b < 0 ? -1 : (b & 0xF0); }

// The instruction-length table over an accessor giving the byte at k or -1.
template <class At>
uint32_t LengthWith(const At& at) {
    const int b0 = at(0);
    if (b0 < 0) return 0;
    if (b0 == 0x68) return 5;
    if (b0 == 0x9B) return 1;
    const int b1 = at(1);
    if ((b0 == 0xDF && b1 == 0xE0) || (b0 == 0xDB && (b1 == 0xE2 || b1 == 0xE3))) return 2;
    if (b0 == 0x03 || b0 == 0x2B || b0 == 0x33 || b0 == 0x8B) return 2;
    if (b0 == 0x87 && b1 >= 0xC0) return 2;
    if (b0 == 0x83 && b1 >= 0xC0 && b1 <= 0xF7) return 3;
    if (b0 == 0xE8 && at(3) == 0 && at(4) == 0) return 5;
    if (b0 >= 0xB8 && b0 <= 0xBF) return 5;
    if (b0 == 0xF5 && b1 == 0xF5) return 2;
    if (b0 == 0xC1 && Hi(b1) == 0xC0 && at(3) == 0xC1 && Hi(at(4)) == 0xC0 && at(2) >= 0 &&
        at(2) == at(5))
        return 6;
    if ((b0 == 0x60 && b1 == 0x61) || (b0 == 0x9C && b1 == 0x9D)) return 2;
    if (b0 == 0x0F && b1 >= 0 && b1 <= 3) return 3;
    if (Hi(b0) == 0x70 && b1 == 0x03 && Hi(at(2)) == 0x70 && at(3) == 0x01) return 5;
    if (Hi(b0) == 0x70 && b1 == 0x02 && Hi(at(2)) == 0x70 && at(3) == 0x00) return 4;
    if (b0 == 0x81 && ((b1 >= 0xC0 && b1 <= 0xCF) || b1 >= 0xE0)) return 6;
    static constexpr uint8_t kPushPop[][2] = {{0x50, 0x58}, {0x53, 0x5B}, {0x51, 0x59},
                                              {0x52, 0x5A}, {0x56, 0x5E}, {0x57, 0x5F}};
    for (const auto& pp : kPushPop)
        if (b0 == pp[0] && at(2) == pp[1]) return 3;
    for (const auto& pp : kPushPop)
        if (b0 == pp[0] && at(3) == pp[1]) return 4;
    if (b0 == 0x8D && b1 >= 0) {
        const int low = b1 & 0x0F;
        if (b1 < 0x40 && (low == 0x5 || low == 0xD)) return 6;
        if (b1 >= 0x80 && b1 < 0xC0) return (low == 0x4 || low == 0xC) ? 7 : 6;
    }
    return 0;
}

uint32_t Rotl(uint32_t v, uint32_t k) {
    k &= 31;
    return k ? (v << k) | (v >> (32 - k)) : v;
}

// The image as the repair sees it: a private copy of the threat's section (the only
// bytes the decryptor replay changes), the pending header values, and the untouched
// image for everything else. Nothing reaches the caller's image before success.
// A byte inside the file that the ranges do not hold stops the replay like a
// fault and leaves the plan undecided.
class RepairView {
public:
    RepairView(const ImageRanges& image, uint64_t windowStart, uint64_t windowEnd)
        : image_(image), size_(image.size()), lo_(windowStart) {
        if (windowEnd > lo_) {
            const uint8_t* from = image.Find(lo_, windowEnd - lo_);
            if (from == nullptr) {
                Miss(lo_);
                return;
            }
            length_ = windowEnd - lo_;
            window_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(length_)]);
            if (!window_) {
                fault_ = true;
                length_ = 0;
            } else {
                std::copy(from, from + length_, window_.get());
            }
        }
    }
    bool faulted() const { return fault_; }
    bool missing() const { return missing_; }
    uint64_t missingAt() const { return missingAt_; }
    void Fail() { fault_ = true; }

    // The byte at off, or -1 when it is outside the image (no fault) or missing.
    int Peek(uint64_t off) const {
        if (off - lo_ < length_) return window_[off - lo_];
        if (off >= size_) return -1;
        for (const Patch& p : patches_)
            if (p.width && off - p.offset < p.width) return (p.value >> (8 * (off - p.offset))) & 0xFF;
        const uint8_t* b = image_.Find(off, 1);
        if (b == nullptr) {
            Miss(off);
            return -1;
        }
        return *b;
    }
    uint8_t B(uint64_t off) {
        if (fault_) return 0;
        const int v = Peek(off);
        if (v < 0) fault_ = true;
        return v < 0 ? 0 : static_cast<uint8_t>(v);
    }
    uint32_t D(uint64_t off) {
        uint32_t v = 0;
        for (uint32_t k = 0; k < 4; ++k) v |= uint32_t{B(off + k)} << (8 * k);
        return fault_ ? 0 : v;
    }
    bool Matches(uint64_t off, const uint8_t* bytes, size_t count) {
        for (size_t k = 0; k < count; ++k)
            if (B(off + k) != bytes[k] || fault_) return false;
        return true;
    }
    uint32_t InstructionLengthAt(uint64_t off) const {
        return LengthWith([&](uint32_t k) { return Peek(off + k); });
    }

    // Replays one operation over the words from..to of the threat's section.
    void Apply(int operation, uint64_t from, uint64_t to, uint32_t key) {
        if (fault_) return;
        if (from < lo_ || !ApplyDwordOperation(operation, window_.get(), static_cast<size_t>(length_),
                                               from - lo_, to - lo_, key))
            fault_ = true;
    }

    // A header field written by the repair; the caller's image gets it on Commit.
    void SetField(uint64_t offset, uint32_t width, uint32_t value) {
        for (Patch& p : patches_) {
            if (p.width == 0 || p.offset == offset) {
                p = {offset, width, value};
                break;
            }
        }
        for (uint32_t k = 0; k < width; ++k)
            if (offset + k - lo_ < length_) window_[offset + k - lo_] = (value >> (8 * k)) & 0xFF;
    }

    // The header fields written, for the caller to put into the image.
    void Commit(RepairPlan& plan) const {
        for (const Patch& p : patches_)
            if (p.width) plan.fields[plan.fieldCount++] = p;
    }

private:
    using Patch = RepairPlan::Field;
    void Miss(uint64_t off) const {
        if (!missing_) missingAt_ = off;
        missing_ = true;
        fault_ = true;
    }
    const ImageRanges& image_;
    uint64_t size_;
    uint64_t lo_;
    uint64_t length_ = 0;
    std::unique_ptr<uint8_t[]> window_;
    Patch patches_[3];
    mutable bool fault_ = false;
    mutable bool missing_ = false;
    mutable uint64_t missingAt_ = 0;
};

// Replays the decryptor whose loop compares a counter with zero at p.
void EmulateDecryptor(RepairView& v, uint64_t start, uint64_t p, int64_t& backStep) {
    uint64_t jump = 0;
    for (uint32_t i = kJumpSearchFirst; i <= kJumpSearchLast && !jump && !v.faulted(); ++i)
        if (v.B(p + i) == 0x0F && v.B(p + i + 1) == 0x85) jump = p + i;
    if (!jump) return;
    const uint32_t displacement = v.D(jump + 2);
    const uint64_t body = jump + 6 + (displacement > kNearJumpLimit ? 0 : displacement);

    int reg = -1;
    for (uint32_t g = 0; g < kRegisterSearch && reg < 0 && !v.faulted();) {
        const uint8_t op = v.B(body + g);
        if (op == 0xF7 || op == 0xFF || op == 0xC1 || op == 0x81) {
            const uint8_t modrm = v.B(body + g + 1);
            for (uint8_t r : kRegisters) {
                const bool hit = (op == 0xF7 && modrm == 0x10 + r) ||
                                 (op == 0xFF && (modrm == 0x08 + r || modrm == r)) ||
                                 (op == 0xC1 && (modrm == r || modrm == 0x08 + r)) ||
                                 (op == 0x81 && (modrm == 0x28 + r || modrm == 0x30 + r || modrm == r));
                if (hit) {
                    reg = r;
                    break;
                }
            }
            if (reg >= 0) break;
        }
        const uint32_t length = v.InstructionLengthAt(body + g);
        g += length ? length : 1;
    }
    if (reg < 0) return;

    for (uint32_t g = 0; g <= kReplayLast && !v.faulted();) {
        const uint64_t at = body + g;
        const uint8_t op = v.B(at);
        int operation = 0;
        uint32_t key = 0, step = 0;
        if (op == 0xF7 || op == 0xFF || op == 0xC1 || op == 0x81 || op == 0xE9) {
            const uint8_t modrm = v.B(at + 1);
            if (op == 0xF7 && modrm == 0x10 + reg) {
                operation = kOpNot, step = 2;
            } else if (op == 0xFF && modrm == 0x08 + reg) {
                operation = kOpDecrement, step = 2;
            } else if (op == 0xFF && modrm == reg) {
                operation = kOpIncrement, step = 2;
            } else if (op == 0xC1 && (modrm == reg || modrm == 0x08 + reg)) {
                operation = modrm == reg ? kOpRotateLeft : kOpRotateRight;
                key = v.B(at + 2), step = 3;
            } else if (op == 0x81 && (modrm == 0x28 + reg || modrm == 0x30 + reg || modrm == reg)) {
                operation = modrm == reg ? kOpAdd : modrm == 0x28 + reg ? kOpSubtract : kOpXor;
                key = v.D(at + 2), step = 6;
            } else if (op == 0xE9 && modrm <= 0xE0 && v.B(at + 2) == 0xFF && v.B(at + 3) == 0xFF &&
                       v.B(at + 4) == 0xFF) {
                ++backStep;  // the loop's closing jump: the replay is complete
                return;
            }
        }
        if (v.faulted()) return;
        if (operation) {
            v.Apply(operation, start, p, key);
            g += step;
        } else {
            const uint32_t length = v.InstructionLengthAt(at);
            g += length ? length : 1;
        }
    }
}

}  // namespace

uint32_t ApplyDwordOperationToWord(int operation, uint32_t w, uint32_t key) {
    switch (operation) {
        case kOpNot: return ~w;
        case kOpDecrement: return w - 1;
        case kOpIncrement: return w + 1;
        case kOpRotateLeft: return Rotl(w, key);
        case kOpRotateRight: return Rotl(w, 32 - (key & 31));
        case kOpSubtract: return w - key;
        case kOpXor: return w ^ key;
        case kOpAdd: return w + key;
        default: return w;
    }
}

bool ApplyDwordOperation(int operation, uint8_t* image, size_t size, uint64_t from, uint64_t to,
                         uint32_t key) {
    if (operation < kOpNot || operation > kOpAdd) return false;
    if (from >= to) return true;
    const uint64_t last = from + (to - from - 1) / 4 * 4;  // offset of the last word
    if (image == nullptr || last > size || size - last < 4) return false;
    for (uint64_t off = from; off <= last; off += 4) {
        uint8_t* b = image + off;
        uint32_t w = b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
        w = ApplyDwordOperationToWord(operation, w, key);
        b[0] = w & 0xFF, b[1] = (w >> 8) & 0xFF, b[2] = (w >> 16) & 0xFF, b[3] = w >> 24;
    }
    return true;
}

uint32_t InstructionLength(const uint8_t* image, size_t size, uint64_t offset) {
    if (image == nullptr) return 0;
    return LengthWith([&](uint32_t k) -> int {
        const uint64_t at = offset + k;
        return at < size ? image[at] : -1;
    });
}

RepairPlan PlanRepair(const ImageRanges& image, int verdict) {
    RepairPlan plan;
    if (verdict == kVerdictThreatFile || verdict == kVerdictDropper) {
        plan.result = kRepairWholeFileThreat;
        return plan;
    }
    if (verdict != kVerdictInfectedHost || image.size() == 0) return plan;
    const uint64_t size = image.size();

    // A header field: false when it lies outside the image (the repair fails)
    // or is missing (undecided).
    auto read = [&](uint64_t off, uint32_t width, uint32_t& value) {
        if (off > size || width > size - off) return false;
        const uint8_t* p = image.Find(off, width);
        if (p == nullptr) {
            plan.decided = false;
            plan.missing = off;
            return false;
        }
        value = 0;
        for (uint32_t k = 0; k < width; ++k) value |= uint32_t{p[k]} << (8 * k);
        return true;
    };
    uint32_t h = 0, n = 0;
    if (!read(pefield::kPeOffset, 4, h) || !read(uint64_t{h} + pefield::kNumberOfSections, 2, n)) return plan;
    if (n < 3 || n > kMaxSections) return plan;

    plan.attempted = true;

    const uint64_t prevHeader =
        uint64_t{h} + pefield::kSectionTable + uint64_t{pefield::kSectionHeaderSize} * (n - 2);
    uint32_t prevVirtual = 0, prevSize = 0, prevPointer = 0;
    if (!read(prevHeader + pefield::kVirtualAddress, 4, prevVirtual) ||
        !read(prevHeader + pefield::kSizeOfRawData, 4, prevSize) ||
        !read(prevHeader + pefield::kPointerToRawData, 4, prevPointer))
        return plan;
    const uint64_t entryField = uint64_t{h} + pefield::kAddressOfEntryPoint;
    const uint64_t imageField = uint64_t{h} + pefield::kSizeOfImage;
    if (entryField + 4 > size || imageField + 4 > size) return plan;

    const uint64_t start = prevPointer;  // S, the new file length
    const int64_t end = static_cast<int64_t>(start) + prevSize - 3;
    // A zero length would read as "whole-file threat, delete it".
    if (start == 0 || start >= size) return plan;

    // The replay changes at most the threat's section; the second layer reaches S+800.
    const uint64_t windowEnd = std::min<uint64_t>(size, start + std::max<uint64_t>(prevSize, kInnerEnd + 1));
    RepairView v(image, start, windowEnd);
    auto undecided = [&] {
        if (!v.missing()) return false;
        plan.decided = false;
        plan.missing = v.missingAt();
        return true;
    };
    if (undecided()) return plan;
    v.SetField(uint64_t{h} + pefield::kNumberOfSections, 2, n - 2);
    v.SetField(imageField, 4, prevVirtual);

    static constexpr uint8_t kTwoLayer[] = {0x60, 0xE8, 0x00, 0x00, 0x00};
    static constexpr uint8_t kOneLayer[] = {0x58, 0x60, 0xE8, 0x00, 0x00, 0x00};
    int form = 0;
    bool replayed = true;  // only a replay changes the bytes at S; test them again after one
    for (int64_t c = 0; static_cast<int64_t>(start) < end - c && !v.faulted(); ++c) {
        const uint64_t p = static_cast<uint64_t>(end - c);
        if (IsCompareWithZero(v.B(p), v.B(p + 1), v.B(p + 2)) && !v.faulted()) {
            EmulateDecryptor(v, start, p, c);
            replayed = true;
        }
        if (!replayed) continue;
        replayed = false;
        if (v.Matches(start, kTwoLayer, sizeof kTwoLayer)) {
            form = 2;
            break;
        }
        if (v.Matches(start, kOneLayer, sizeof kOneLayer)) {
            form = 1;
            break;
        }
    }
    if (undecided() || v.faulted() || form == 0) return plan;

    uint64_t jumpAt = 0;  // O, file offset of the E9 back to the host
    uint32_t displacement = 0;
    if (form == 2) {
        const uint32_t key = v.D(start + 32);
        const uint8_t opByte = v.B(start + 36);
        const int operation = opByte == 0x01 ? kOpAdd : opByte == 0x29 ? kOpSubtract
                              : opByte == 0x31 ? kOpXor : 0;
        if (undecided() || operation == 0 || v.faulted()) return plan;
        v.Apply(operation, start + kInnerFirst, start + kInnerEnd, key);
        if (v.D(start + kInnerFirst) != kInnerMarker || v.faulted()) {
            undecided();
            return plan;
        }
        static constexpr uint8_t kExit[] = {0x61, 0xE9};
        for (uint32_t j = 0; j < kExitJumpSearch && !jumpAt && !v.faulted(); ++j) {
            if (v.Matches(start + kInnerFirst + j, kExit, sizeof kExit)) {
                displacement = v.D(start + kInnerFirst + j + 2);
                jumpAt = start + kInnerFirst + j + 1;
            }
        }
    } else {
        static constexpr uint8_t kExit[] = {0x58, 0x61, 0xE9};
        for (uint32_t k = 0; k < kExitJumpSearch && !jumpAt && !v.faulted(); ++k) {
            if (v.Matches(start + k, kExit, sizeof kExit)) {
                displacement = v.D(start + k + 3);
                jumpAt = start + k + 2;
            }
        }
    }
    if (undecided() || v.faulted() || jumpAt == 0 || prevPointer >= jumpAt) return plan;

    const uint32_t jumpRva = static_cast<uint32_t>(jumpAt) + prevVirtual - prevPointer;
    v.SetField(entryField, 4, jumpRva + 5 + displacement);
    v.Commit(plan);
    plan.result = static_cast<int64_t>(start);
    return plan;
}

int64_t RepairImage(uint8_t* image, size_t size, int verdict, RunLog& log, const char* ansiLogPath) {
    if (image == nullptr && verdict == kVerdictInfectedHost) return kRepairFailed;
    // The whole image is at hand: the plan is always decided.
    const RepairPlan plan = PlanRepair(ImageRanges(image, size), verdict);
    if (plan.attempted) log.PathLine(ansiLogPath, "%s", kRepairAttemptText);
    if (plan.result > 0) plan.ApplyTo(image, size);
    return plan.result;
}

CutPlan PlanCut(const uint8_t* data, size_t size, const CutRepairEntry& entry) {
    CutPlan plan;
    if (data == nullptr || entry.first == nullptr || entry.firstLength == 0 || size < entry.firstLength)
        return plan;
    const uint8_t* first = PatternSearch(data, entry.first, size, entry.firstLength);
    if (first == nullptr) return plan;
    const uint64_t cutStart = static_cast<uint64_t>(first - data);
    uint64_t cutEnd = cutStart + entry.firstLength;
    if (entry.secondLength != 0) {
        if (entry.second == nullptr) return plan;
        const uint8_t* second = PatternSearch(data + cutEnd, entry.second, size - static_cast<size_t>(cutEnd),
                                              entry.secondLength);
        if (second == nullptr) return plan;
        cutEnd = static_cast<uint64_t>(second - data) + entry.secondLength;
    }
    plan.found = true;
    plan.cutStart = cutStart;
    plan.cutEnd = cutEnd;
    return plan;
}

std::vector<uint8_t> ApplyCutPlan(const uint8_t* data, size_t size, const CutPlan& plan,
                                  const CutRepairEntry& entry) {
    std::vector<uint8_t> out;
    if (!plan.found || plan.cutStart > plan.cutEnd || plan.cutEnd > size) return out;
    out.reserve(size - static_cast<size_t>(plan.cutEnd - plan.cutStart) + entry.replacementLength);
    out.insert(out.end(), data, data + plan.cutStart);
    if (entry.replacement) out.insert(out.end(), entry.replacement, entry.replacement + entry.replacementLength);
    out.insert(out.end(), data + plan.cutEnd, data + size);
    return out;
}
