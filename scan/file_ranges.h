// Ranges of an open file read on demand, for detection and repair of files
// that are not mapped whole: the evaluation says which byte it lacks, a window
// around it is read, and the evaluation runs again.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "scan/detect_core.h"
#include "scan/file_handles.h"

// Whole images up to this size are mapped for detection and repair; larger
// files, and files whose mapping fails, are read in windows where the tests
// need them (a 32-bit process rarely finds room for more).
constexpr uint64_t kMapWholeLimit = 256u << 20;

class FileRanges {
public:
    FileRanges(HANDLE file, uint64_t size) : file_(file), ranges_(size) {}
    const ImageRanges& ranges() const { return ranges_; }
    // Bytes already read (the head), held by the caller for as long as this object.
    void Add(uint64_t offset, const uint8_t* bytes, size_t size) { ranges_.Add(offset, bytes, size); }

    // Reads [missing - before, missing + after) within the file. False when the
    // table is full, nothing could be read, or the byte is still not there.
    bool ReadAround(uint64_t missing, uint32_t before, uint32_t after) {
        if (read_ == kMaxReads || missing >= ranges_.size()) return false;
        const uint64_t from = missing > before ? (missing - before) & ~uint64_t{511} : 0;
        const uint64_t to = std::min<uint64_t>(ranges_.size(), missing + after);
        const DWORD want = static_cast<DWORD>(to - from);
        buffers_[read_].reset(new (std::nothrow) uint8_t[want]);
        if (!buffers_[read_]) return false;
        DWORD got = 0;
        if (!ReadAt(file_, from, buffers_[read_].get(), want, got) || got == 0) return false;
        ranges_.Add(from, buffers_[read_].get(), got);
        ++read_;
        return from + got > missing;
    }

    // Runs evaluate(ranges) (a result with `decided` and `missing`) until it is
    // decided or the file cannot give what it lacks; the last result.
    template <class Evaluate>
    auto Decide(Evaluate evaluate, uint32_t before, uint32_t after) {
        auto result = evaluate(ranges_);
        while (!result.decided && ReadAround(result.missing, before, after)) result = evaluate(ranges_);
        return result;
    }

private:
    static constexpr size_t kMaxReads = ImageRanges::kMaxRanges - 1;   // one is the head
    HANDLE file_;
    ImageRanges ranges_;
    std::unique_ptr<uint8_t[]> buffers_[kMaxReads];
    size_t read_ = 0;
};
