// Synthetic samples for detection and repair tests: clean PE32 hosts, hosts infected
// in both body forms with varied decryptors, the threat's own files, the packed form,
// the dropper and boundary cases. Everything is generated here; nothing is real.
// Portable C++20 (also built into the Win32 tests).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace samples {

using Bytes = std::vector<uint8_t>;

// Deterministic generator, so that a seed names a sample.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull) {}
    uint32_t Next();
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
    uint32_t Range(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }  // inclusive
    uint8_t Byte() { return static_cast<uint8_t>(Next()); }

private:
    uint64_t state_;
};

// --- Little-endian access and PE header fields --------------------------------

uint32_t GetU16(const Bytes& image, size_t offset);  // 0 outside the image
uint32_t GetU32(const Bytes& image, size_t offset);
void PutU16(Bytes& image, size_t offset, uint32_t value);  // ignored outside the image
void PutU32(Bytes& image, size_t offset, uint32_t value);

constexpr uint32_t kSecVirtualSize = 8, kSecVirtualAddress = 12, kSecSizeOfRawData = 16,
                   kSecPointerToRawData = 20, kSecCharacteristics = 36;

struct PeInfo {
    bool valid = false;          // MZ, "PE\0\0" at H, PE32 optional header of 0xE0 bytes
    uint32_t peOffset = 0;       // H
    uint32_t sections = 0;
    uint32_t entryPoint = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    size_t length = 0;
};
PeInfo ReadPe(const Bytes& image);
size_t SectionHeaderOffset(const Bytes& image, uint32_t index);
uint32_t GetSectionField(const Bytes& image, uint32_t index, uint32_t field);
void SetSectionField(Bytes& image, uint32_t index, uint32_t field, uint32_t value);

// --- Clean hosts ---------------------------------------------------------------

struct HostOptions {
    uint32_t seed = 1;
    uint32_t sections = 3;          // 1..8: .text, .rdata, .data, then more data sections
    uint32_t peOffset = 0x80;       // where compilers usually put the PE header
    uint32_t fileAlignment = 0x200;
    uint32_t sectionAlignment = 0x1000;
    uint32_t overlayBytes = 0;      // data appended after the last section
};
// A structurally valid PE32 console program whose entry point returns 0.
Bytes MakeCleanHost(const HostOptions& options = {});

// The host with its PE header moved to offset 0x40 (the DOS stub is dropped), which is
// where the threat's infected hosts have it. Empty when the host is not a PE32 image
// with a standard optional header or its header starts below 0x40.
Bytes NormalizeHost(const Bytes& host);

// --- Infected hosts ------------------------------------------------------------

enum class BodyForm { OneLayer, TwoLayer };
enum class JumpKind { Random, Near, Far };  // jnz to a body within 34 bytes, or elsewhere

struct InfectOptions {
    uint32_t seed = 1;
    BodyForm form = BodyForm::OneLayer;
    int twoLayerOperation = -1;   // -1: 0x01, 0x29 or 0x31 at random; else this byte
    uint32_t prevRawSize = 0;     // 0: random multiple of 0x200 in (0x4000, 0xC000)
    int compareDistance = -1;     // end of the section - 3 - compare offset; -1 random
    int jumpOffset = -1;          // compare to the 0F 85: 3..34 (35 puts it out of reach)
    JumpKind jump = JumpKind::Random;
    int junkCount = -1;           // -1: several junk instructions of every kind; n >= 0:
                                  // exactly n junk patterns in the window, neutral bytes elsewhere
    int pointerRegister = -1;     // 0..5 = eax ebx ecx edx esi edi; -1 random
    int counterRegister = -1;
    int operationCount = -1;      // 1..8 operations in the loop body; -1 random
    int bodyInstruction = -1;     // -1: random junk and filler in the loop body; 0..kBodyInstructionForms-1:
                                  // one instruction of only that form before every operation
};

// Forms of the other instructions a decryptor's loop body mixes in: each is one
// the repair's replay has to step over by its length.
constexpr int kBodyInstructionForms = 21;

struct InfectedSample {
    Bytes image;                  // empty on failure, see error
    std::string error;
    Bytes normalizedHost;         // what the repair restores, apart from staleHeaders
    uint32_t staleHeaderOffset = 0;  // the two section headers the repair leaves behind
    uint32_t sectionStart = 0;    // S: PointerToRawData of the threat's code section
    uint32_t sectionSize = 0;
    uint32_t compare = 0;         // file offset of the decryptor's "cmp reg, 0"
    uint32_t jump = 0;            // file offset of its 0F 85
    uint32_t body = 0;            // file offset of the loop body the repair replays
    uint32_t closingJump = 0;     // file offset of the loop's E9 back
    uint32_t hostEntryPoint = 0;
    uint32_t infectedEntryPoint = 0;
    std::vector<uint8_t> operations;  // operation numbers replayed, in order
};

InfectedSample Infect(const Bytes& host, const InfectOptions& options = {});
// Just the image (empty on failure).
Bytes MakeInfected(const Bytes& host, const InfectOptions& options = {});

// The image a correct repair of `infected` (any number of layers, all repaired) gives:
// the normalized host with the removed sections' headers, which the repair does not
// clear, copied from `infected`.
Bytes ExpectedAfterRepair(const Bytes& normalizedHost, const Bytes& infected);

// --- The threat's own files ------------------------------------------------------

struct ThreatFileOptions {
    uint32_t seed = 1;
    int build = 1;                // 1 or 2
    int markerBuild = 0;          // markers at the offsets of this build (0: same build)
    bool withVCab = true;
    bool withMarker = true;       // "WINXPGOD"
    uint32_t peOffset = 0x40;
};
Bytes MakeThreatFile(const ThreatFileOptions& options = {});

// CRC registers of the threat's builds of the packed form and of the dropper:
// forged into PackedOptions::crc, they make a sample of that build.
extern const std::vector<uint32_t> kPackedThreatCrcs, kDropperCrcs;

struct PackedOptions {
    uint32_t seed = 1;
    uint32_t crc = 0;             // register of the first 0x3000 bytes (forged)
    uint32_t entryPoint = 0;      // 0: random inside the form's range
    uint32_t sizeOfImage = 0;     // 0: random inside the form's range
    bool infectedTail = false;    // sections 1 and 2 also form a complete infected-host tail
};
// The packed threat file (first section 0xC0000060) and the dropper (0xE0000060).
Bytes MakePackedThreat(const PackedOptions& options);
Bytes MakeDropper(const PackedOptions& options);

// Sets the four bytes at patchOffset so that the CRC register (start 0xFFFFFFFF,
// no final inversion) of image[0, span) becomes target. patchOffset + 4 <= span.
bool ForgeCrc(Bytes& image, size_t patchOffset, uint32_t target, size_t span = 0x3000);
uint32_t CrcRegister(const uint8_t* bytes, size_t count);

// The whole file, or empty when it cannot be read (for tests over real PE files).
Bytes ReadFileBytes(const std::string& path);

}  // namespace samples
