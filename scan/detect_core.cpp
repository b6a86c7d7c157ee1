#include "scan/detect_core.h"

#include <array>

const char kCannotOpenForScanText[] = "WARNING: file cannot be opened for scanning";
const char kCannotReadForScanText[] = "WARNING: file cannot be read for scanning";

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

// CRC registers of the first 12 KB of the packed threat file and of the dropper.
constexpr uint32_t kPackedFormCrcs[] = {0x0F3FD3EE, 0x1D2FE568, 0x24C14399, 0x4F914C86,
                                        0x50DBE26B, 0x5CBBED21, 0xAFE02688, 0xB05714DA,
                                        0xBEC084FC, 0xD3F1D53D};
constexpr uint32_t kDropperCrcs[] = {0x3397E5B7, 0x525FB65A, 0x56A93D36, 0x8B2B2F2F, 0xEF4A3E1C};
constexpr uint32_t kCrcSpan = 0x3000;

constexpr uint32_t kSearchPositions = 2000;   // start positions of the decryptor search
constexpr uint32_t kJumpPositions = 35;       // where the 0F 85 may follow the compare
constexpr int kJunkWindowBefore = 80;
constexpr int kJunkWindowAfter = 300;
constexpr uint32_t kJunkNeeded = 3;

template <size_t N>
bool Listed(const uint32_t (&list)[N], uint32_t value) {
    for (uint32_t v : list)
        if (v == value) return true;
    return false;
}

// Reads that record a fault instead of leaving the image. Once a read has
// faulted the verdict is clean, whatever the later tests compute. A read of
// bytes inside the file that the ranges do not hold stops the tests the same
// way, and leaves the verdict undecided.
class Reader {
public:
    explicit Reader(const ImageRanges& ranges) : ranges_(ranges) {}
    bool faulted() const { return fault_ || missing_; }
    bool missing() const { return missing_; }
    uint64_t missingAt() const { return missingAt_; }
    uint64_t size() const { return ranges_.size(); }
    void Fail() const { fault_ = true; }
    // The bytes [off, off + count), or nullptr after recording why not.
    const uint8_t* Span(uint64_t off, uint64_t count) const {
        if (faulted()) return nullptr;
        if (off > size() || count > size() - off) {
            fault_ = true;
            return nullptr;
        }
        const uint8_t* p = ranges_.Find(off, count);
        if (p == nullptr) {
            missing_ = true;
            missingAt_ = off;
        }
        return p;
    }
    uint8_t B(uint64_t off) const {
        const uint8_t* p = Span(off, 1);
        return p ? p[0] : 0;
    }
    uint32_t W(uint64_t off) const {
        const uint8_t* p = Span(off, 2);
        return p ? p[0] | (uint32_t{p[1]} << 8) : 0;
    }
    uint32_t D(uint64_t off) const {
        const uint8_t* p = Span(off, 4);
        return p ? p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24) : 0;
    }
    bool Is(uint64_t off, const char* text, size_t count) const {
        const uint8_t* p = Span(off, count);
        return p && std::memcmp(p, text, count) == 0;
    }

private:
    const ImageRanges& ranges_;
    mutable bool fault_ = false;
    mutable bool missing_ = false;
    mutable uint64_t missingAt_ = 0;
};

// One section header field of section k.
uint32_t Section(const Reader& r, uint32_t h, uint32_t k, uint32_t field) {
    return r.D(uint64_t{h} + pefield::kSectionTable + uint64_t{pefield::kSectionHeaderSize} * k + field);
}

// The two whole-file builds of the threat, told apart by raw size and marker offsets.
bool IsThreatBuild(const Reader& r, uint32_t h, uint32_t n, uint32_t rawSize, uint64_t vcabAt,
                   uint64_t markerAt) {
    return n == 2 && Section(r, h, 0, pefield::kCharacteristics) == 0xC0000020 &&
           Section(r, h, 0, pefield::kSizeOfRawData) == rawSize &&
           Section(r, h, 0, pefield::kPointerToRawData) == 0x200 && r.Is(vcabAt, "VCab", 4) &&
           r.Is(markerAt, "WINXPGOD", 8);
}

bool HasPeAt40(const Reader& r) { return r.Is(0x40, "PE", 2); }

// Packed threat file and dropper share their shape: three sections, an empty first
// section at 0x200, entry point and image size in fixed ranges.
bool IsPackedShape(const Reader& r, uint32_t h, uint32_t n, uint32_t characteristics,
                   uint32_t entryLow, uint32_t entryHigh, uint32_t imageLow, uint32_t imageHigh) {
    if (!HasPeAt40(r) || n != 3) return false;
    if (Section(r, h, 0, pefield::kCharacteristics) != characteristics) return false;
    if (Section(r, h, 0, pefield::kSizeOfRawData) != 0) return false;
    if (Section(r, h, 0, pefield::kPointerToRawData) != 0x200) return false;
    const uint32_t entry = r.D(uint64_t{h} + pefield::kAddressOfEntryPoint);
    if (entry < entryLow || entry > entryHigh) return false;
    const uint32_t image = r.D(uint64_t{h} + pefield::kSizeOfImage);
    return image >= imageLow && image <= imageHigh;
}

uint32_t CrcOfHead(const Reader& r) {
    const uint8_t* head = r.Span(0, kCrcSpan);
    return head ? Crc32Update(0xFFFFFFFFu, head, kCrcSpan) : 0;
}

uint32_t CountJunk(const Reader& r, uint64_t p) {
    const uint64_t size = r.size();
    uint32_t count = 0;
    for (int64_t g = -kJunkWindowBefore; g < kJunkWindowAfter;) {
        const int64_t at = static_cast<int64_t>(p) + g;
        if (at < 0) {
            r.Fail();
            return 0;
        }
        if (static_cast<uint64_t>(at) + 6 >= size) break;
        const uint8_t* bytes = r.Span(static_cast<uint64_t>(at), 6);
        if (bytes == nullptr) return 0;
        const uint32_t step = JunkStep(bytes);
        if (step) {
            ++count;
            g += step;
        } else {
            g += 1;
        }
    }
    return count;
}

int Detect(const Reader& r) {
    if (!r.Is(0, "MZ", 2)) return kVerdictClean;
    const uint32_t h = r.D(pefield::kPeOffset);
    const uint32_t n = r.W(uint64_t{h} + pefield::kNumberOfSections);

    if (IsThreatBuild(r, h, n, 0xA200, 0x1640, 0x16A0)) return kVerdictThreatFile;
    if (IsThreatBuild(r, h, n, 0xA400, 0x1660, 0x16C0)) return kVerdictThreatFile;

    // Once the packed shapes match, their CRC alone decides.
    if (IsPackedShape(r, h, n, 0xC0000060, 0x10000, 0x10500, 0x17000, 0x19000))
        return Listed(kPackedFormCrcs, CrcOfHead(r)) ? kVerdictThreatFile : kVerdictClean;
    if (IsPackedShape(r, h, n, 0xE0000060, 0x1A000, 0x1D000, 0x27000, 0x2B000))
        return Listed(kDropperCrcs, CrcOfHead(r)) ? kVerdictDropper : kVerdictClean;

    if (n < 3 || !HasPeAt40(r)) return kVerdictClean;
    const uint32_t last = n - 1, prev = n - 2;
    if (Section(r, h, last, pefield::kSizeOfRawData) != 0) return kVerdictClean;
    if (Section(r, h, last, pefield::kPointerToRawData) < 0x200) return kVerdictClean;
    if (Section(r, h, last, pefield::kCharacteristics) != 0xE0000020) return kVerdictClean;
    if (Section(r, h, prev, pefield::kCharacteristics) != 0xE0000020) return kVerdictClean;
    const uint32_t prevSize = Section(r, h, prev, pefield::kSizeOfRawData);
    if (prevSize <= 0x4000 || prevSize >= 0xC000) return kVerdictClean;

    const uint64_t end = uint64_t{Section(r, h, prev, pefield::kPointerToRawData)} + prevSize - 3;
    if (end > r.size()) return kVerdictClean;

    for (uint32_t i = 0; i < kSearchPositions; ++i) {
        const uint64_t p = end - i;  // end > 0x3FFD, so p never goes below zero
        if (r.faulted()) break;
        if (!IsCompareWithZero(r.B(p), r.B(p + 1), r.B(p + 2))) continue;
        bool jump = false;
        for (uint32_t j = 0; j < kJumpPositions && !jump; ++j)
            jump = r.B(p + j) == 0x0F && r.B(p + j + 1) == 0x85;
        if (!jump) continue;
        // The window is counted around the compare, not around the jump.
        if (CountJunk(r, p) >= kJunkNeeded) return kVerdictInfectedHost;
    }
    return kVerdictClean;
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) crc = (crc >> 8) ^ kCrcTable[(crc ^ bytes[i]) & 0xFF];
    return crc;
}

uint32_t JunkStep(const uint8_t* b) {
    const auto hi = [](uint8_t v) { return v & 0xF0; };
    const auto push = [](uint8_t v) { return v >= 0x50 && v <= 0x5F; };
    if (b[0] == 0x9B) return 1;
    if (b[0] == 0xDF && b[1] == 0xE0) return 2;
    if (b[0] == 0xDB && b[1] == 0xE2) return 2;
    if (b[0] == 0xDB && b[1] == 0xE3) return 2;
    if (b[0] == 0xF5 && b[1] == 0xF5) return 2;
    if (b[0] == 0xC1 && hi(b[1]) == 0xC0 && b[3] == 0xC1 && hi(b[4]) == 0xC0 && b[2] == b[5]) return 6;
    if (b[0] == 0x9C && b[1] == 0x9D) return 2;
    if (b[0] == 0x60 && b[1] == 0x61) return 2;
    if (b[0] == 0xD9 && b[1] == 0xD0) return 2;
    if (b[0] == 0x0F && b[1] <= 3) return 3;
    if (b[0] == 0xF7 && hi(b[1]) == 0xD0 && b[2] == 0xF7 && hi(b[3]) == 0xD0) return 4;
    if (push(b[0]) && push(b[2]) && b[0] - b[2] == 8) return 3;
    if (push(b[0]) && push(b[3]) && b[0] - b[3] == 8) return 4;
    if (hi(b[0]) == 0x70 && hi(b[2]) == 0x70) {
        if (b[1] == 0x03 && b[3] == 0x01) return 4;
        if (b[1] == 0x02 && b[3] == 0x00) return 4;
        if (b[1] == 0x06 && b[3] == 0x04) return 4;
    }
    return 0;
}

PartialVerdict DetectInRanges(const ImageRanges& ranges) {
    Reader reader(ranges);
    const int verdict = Detect(reader);
    PartialVerdict result;
    if (reader.missing()) {
        result.missing = reader.missingAt();
        return result;
    }
    result.decided = true;
    result.verdict = reader.faulted() ? kVerdictClean : verdict;
    return result;
}

int DetectInfection(const uint8_t* image, size_t size) {
    if (image == nullptr) return kVerdictClean;
    // The whole image is at hand: always decided.
    return DetectInRanges(ImageRanges(image, size)).verdict;
}
