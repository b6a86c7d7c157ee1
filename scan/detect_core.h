// Infection detection over the memory image of one file. Portable: no system calls.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// Verdicts of DetectInfection (index of DetectionNames).
enum : int {
    kVerdictClean = 0,
    kVerdictInfectedHost = 1,  // repaired
    kVerdictThreatFile = 2,    // deleted
    kVerdictDropper = 3,       // deleted
};

// Log text of a file that cannot be opened for scanning (only for ".exe" names).
extern const char kCannotOpenForScanText[];
// Log text of a file whose bytes could not be read for the tests (mapping and
// reads both failed).
extern const char kCannotReadForScanText[];

// How much of each file the scan reads first: one read that decides nearly
// every file (see DetectFromHead).
constexpr size_t kScanHeadBytes = 4096;

// Offsets of the header fields the threat's structures are read through.
namespace pefield {
constexpr uint32_t kPeOffset = 0x3C;            // 32-bit H, from the start of the file
constexpr uint32_t kNumberOfSections = 6;       // 16-bit, from H
constexpr uint32_t kAddressOfEntryPoint = 0x28; // from H
constexpr uint32_t kSizeOfImage = 0x50;         // from H
constexpr uint32_t kSectionTable = 0xF8;        // from H; the optional header size is not read
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kVirtualAddress = 12;        // within a section header
constexpr uint32_t kSizeOfRawData = 16;
constexpr uint32_t kPointerToRawData = 20;
constexpr uint32_t kCharacteristics = 36;
}  // namespace pefield

// Bounds-checked little-endian reads of an image. Offsets are 64-bit so that
// header values near 4 GB cannot wrap around on a 32-bit build.
class ImageBytes {
public:
    ImageBytes(const uint8_t* image, size_t size) : image_(image), size_(image ? size : 0) {}
    uint64_t size() const { return size_; }
    const uint8_t* data() const { return image_; }
    bool Has(uint64_t offset, uint64_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }
    bool U8(uint64_t offset, uint8_t& value) const {
        if (!Has(offset, 1)) return false;
        value = image_[offset];
        return true;
    }
    bool U16(uint64_t offset, uint32_t& value) const {
        if (!Has(offset, 2)) return false;
        value = image_[offset] | (uint32_t{image_[offset + 1]} << 8);
        return true;
    }
    bool U32(uint64_t offset, uint32_t& value) const {
        if (!Has(offset, 4)) return false;
        value = image_[offset] | (uint32_t{image_[offset + 1]} << 8) |
                (uint32_t{image_[offset + 2]} << 16) | (uint32_t{image_[offset + 3]} << 24);
        return true;
    }
    // False when the bytes are outside the image; equal tells whether they match.
    bool Equals(uint64_t offset, const void* bytes, size_t count, bool& equal) const {
        if (!Has(offset, count)) return false;
        equal = std::memcmp(image_ + offset, bytes, count) == 0;
        return true;
    }

private:
    const uint8_t* image_;
    uint64_t size_;
};

// The bytes of one file image that are at hand: the whole image, or a few
// ranges of it read from the file (its head, windows further on). Reads past
// the end of the file are faults, as in a whole image; reads of bytes inside
// the file that no range holds are "missing": the caller reads them and asks
// again.
class ImageRanges {
public:
    static constexpr size_t kMaxRanges = 6;
    explicit ImageRanges(uint64_t fileSize) : fileSize_(fileSize) {}
    ImageRanges(const uint8_t* image, size_t size) : fileSize_(image ? size : 0) { Add(0, image, size); }

    uint64_t size() const { return fileSize_; }
    size_t count() const { return count_; }
    // False when the table is full; empty ranges are ignored.
    bool Add(uint64_t offset, const uint8_t* bytes, size_t size) {
        if (bytes == nullptr || size == 0) return true;
        if (count_ == kMaxRanges) return false;
        ranges_[count_++] = {offset, bytes, size};
        return true;
    }
    // The bytes [offset, offset + count) when one range holds them all.
    const uint8_t* Find(uint64_t offset, uint64_t count) const {
        for (size_t i = 0; i < count_; ++i) {
            const Range& r = ranges_[i];
            if (offset >= r.offset && offset - r.offset <= r.size && count <= r.size - (offset - r.offset))
                return r.bytes + (offset - r.offset);
        }
        return nullptr;
    }

private:
    struct Range {
        uint64_t offset = 0;
        const uint8_t* bytes = nullptr;
        uint64_t size = 0;
    };
    uint64_t fileSize_;
    Range ranges_[kMaxRanges];
    size_t count_ = 0;
};

// The verdict as far as the bytes at hand decide it. Undecided only when the
// detection of the whole image would read a byte that no range holds: the
// evaluation runs the same tests over the same bytes up to that read, so a
// decided verdict is exactly the verdict of the whole image.
struct PartialVerdict {
    bool decided = false;
    int verdict = 0;        // when decided
    uint64_t missing = 0;   // when undecided: the first byte the tests need
};
PartialVerdict DetectInRanges(const ImageRanges& ranges);

// The head check of the scan: the first `headSize` bytes of a file of
// `fileSize` bytes. Decided (clean for nearly every file) when the head
// holds all the detection needs; a file that fits in the head is always decided.
inline PartialVerdict DetectFromHead(const uint8_t* head, size_t headSize, uint64_t fileSize) {
    ImageRanges ranges(fileSize);
    ranges.Add(0, head, headSize < fileSize ? headSize : static_cast<size_t>(fileSize));
    return DetectInRanges(ranges);
}

// Reflected CRC-32 (polynomial 0xEDB88320), one byte per step, no final inversion.
uint32_t Crc32Update(uint32_t crc, const uint8_t* bytes, size_t count);

// The verdict for one file image. Never reads outside [image, image + size);
// anything the tests would need from outside the image makes the file clean.
int DetectInfection(const uint8_t* image, size_t size);

// True for the three bytes of "cmp reg, 0" the threat's decryptor ends its loop with
// (83 F8/FB/F9/FA/FE/FF 00).
inline bool IsCompareWithZero(uint8_t b0, uint8_t b1, uint8_t b2) {
    return b0 == 0x83 && b2 == 0x00 &&
           (b1 == 0xF8 || b1 == 0xFB || b1 == 0xF9 || b1 == 0xFA || b1 == 0xFE || b1 == 0xFF);
}

// Step of the first junk-table row that fits the six bytes at b, or 0.
uint32_t JunkStep(const uint8_t* b);

// Warnings for unopenable files go only to names of at least five characters
// ending in ".exe" (the dot exact, the letters in either case).
template <class Ch>
bool HasExeSuffix(const Ch* path, size_t length) {
    if (path == nullptr || length < 5) return false;
    const Ch* t = path + length - 4;
    auto is = [](Ch c, char lower) { return c == Ch(lower) || c == Ch(lower - 'a' + 'A'); };
    return t[0] == Ch('.') && is(t[1], 'e') && is(t[2], 'x') && is(t[3], 'e');
}
