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
