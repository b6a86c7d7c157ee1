// Repair of an infected host image: replays the threat's decryptor, restores the
// entry point and the header, and tells where the file is to be cut. Portable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "run/log_core.h"
#include "run/threat_definition.h"
#include "scan/detect_core.h"

// File message texts of the repair (path, ": ", text). RepairImage writes the first;
// the file-level repair writes the others.
extern const char kRepairAttemptText[];     // "Attempting to repair the virus\n"
extern const char kFileRepairedText[];      // "File repaired."
extern const char kRepairAtRebootText[];    // "will be repaired at the next reboot"
extern const char kRepairFailedText[];      // "ERROR! Repair failed, the file is corrupted, ..."
extern const char kCantRepairText[];        // ": (can't repair)" tail of the signature cut
extern const char kCutDeletedText[];        // " (deleted)"
extern const char kCutRepairedText[];       // ": (repaired)"

// Results of RepairImage (RepairFile adds kRepairPendingReboot).
constexpr int64_t kRepairWholeFileThreat = 0;
constexpr int64_t kRepairFailed = -1;
constexpr int64_t kRepairPendingReboot = -2;

// Operations of the decryptor's loop body, applied to 32-bit little-endian words.
enum DwordOperation : int {
    kOpNot = 1,
    kOpDecrement = 2,
    kOpIncrement = 3,
    kOpRotateLeft = 4,
    kOpRotateRight = 5,
    kOpSubtract = 6,
    kOpXor = 7,
    kOpAdd = 8,
};

// Applies one operation to the words at from, from+4, ... while the offset is below
// `to`. Returns false, changing nothing, for an unknown operation or when a word
// would lie outside the image.
bool ApplyDwordOperation(int operation, uint8_t* image, size_t size, uint64_t from, uint64_t to,
                         uint32_t key);

// One operation on one word (rotations by key mod 32).
uint32_t ApplyDwordOperationToWord(int operation, uint32_t word, uint32_t key);

// Length of the instruction at offset as far as the threat's code uses them, or 0
// when unknown. A row that would need bytes beyond the image does not match.
uint32_t InstructionLength(const uint8_t* image, size_t size, uint64_t offset);

// What the repair of one image comes to, worked out from the bytes at hand
// (the whole image, or ranges of it read from a file too large to map).
struct RepairPlan {
    struct Field {
        uint64_t offset = 0;
        uint32_t width = 0;
        uint32_t value = 0;
    };
    // False when a byte the repair needs is not in the ranges: read it and plan again.
    bool decided = true;
    uint64_t missing = 0;
    // The header passed the section-count test: the attempt line is due.
    bool attempted = false;
    // The result RepairImage returns: the new length, 0 or -1.
    int64_t result = kRepairFailed;
    // The header fields to write (only where they lie below the new length).
    Field fields[3];
    size_t fieldCount = 0;

    // The bytes of field i that lie below the new length, from its start;
    // returns their count (0 to 4).
    uint32_t FieldBytes(size_t i, uint8_t (&out)[4]) const {
        const Field& f = fields[i];
        uint32_t count = 0;
        while (count < f.width && f.offset + count < static_cast<uint64_t>(result)) {
            out[count] = (f.value >> (8 * count)) & 0xFF;
            ++count;
        }
        return count;
    }
    void ApplyTo(uint8_t* image, size_t size) const {
        for (size_t i = 0; i < fieldCount; ++i) {
            uint8_t bytes[4];
            const uint32_t count = FieldBytes(i, bytes);
            for (uint32_t k = 0; k < count && fields[i].offset + k < size; ++k) image[fields[i].offset + k] = bytes[k];
        }
    }
};
// Plans the repair without writing anything (nor the attempt line).
RepairPlan PlanRepair(const ImageRanges& image, int verdict);

// Repairs the writable image of a copy of an infected file.
// verdict 2 or 3: returns 0 (whole-file threat, nothing written). Other verdicts
// than 1: -1. Verdict 1: with 3 <= NumberOfSections <= 102 first writes the log line
// kRepairAttemptText for ansiLogPath to the log, then returns the new file length
// (prev.PointerToRawData, always > 0) or -1.
// On success only the header fields NumberOfSections, SizeOfImage and
// AddressOfEntryPoint change, and only where they lie below the new length; the
// caller cuts the file there. On failure the image is left exactly as it was.
int64_t RepairImage(uint8_t* image, size_t size, int verdict, RunLog& log, const char* ansiLogPath);

// The pure part of the signature cut: where one entry of the cut table cuts a file.
struct CutPlan {
    bool found = false;
    uint64_t cutStart = 0;   // first byte of the first signature
    uint64_t cutEnd = 0;     // after the second signature, or after the first one
};

// Finds the entry's first signature over the whole data and, when the entry has one,
// its second signature after the first. Not found when the data is shorter than the
// first signature.
CutPlan PlanCut(const uint8_t* data, size_t size, const CutRepairEntry& entry);

// The content that replaces the file: bytes before the cut, the replacement bytes,
// bytes after the cut.
std::vector<uint8_t> ApplyCutPlan(const uint8_t* data, size_t size, const CutPlan& plan,
                                  const CutRepairEntry& entry);

// CutOnce is called at most this often per entry.
constexpr int kMaxCutsPerEntry = 1000;

// One cut of one table entry.
enum class CutResult {
    NothingFound,  // nothing found, or the file could not be used
    Cut,           // a cut was made (the entry is tried again)
    NotWritten,    // a cut was found but could not be written
};

// How one applicable entry of the cut table (and so the cut step) ended.
enum class CutOutcome {
    NothingFound,  // the first call found nothing: go on with the next entry
    Repaired,      // at least one cut was made: ": (repaired)", repairs + 1, result 1
    CantRepair,    // a cut could not be written, or 1000 calls: ": (can't repair)", result 2
};

// Calls cutOnce (returning a CutResult) until it returns something other than
// Cut or has been called kMaxCutsPerEntry times.
template <class CutOnceFn>
CutOutcome RunCutEntry(CutOnceFn&& cutOnce) {
    int calls = 0;
    CutResult last = CutResult::NothingFound;
    do {
        last = cutOnce();
        ++calls;
    } while (last == CutResult::Cut && calls < kMaxCutsPerEntry);
    if (calls == kMaxCutsPerEntry || last == CutResult::NotWritten) return CutOutcome::CantRepair;
    return calls > 1 ? CutOutcome::Repaired : CutOutcome::NothingFound;
}
