// Repair of arbitrary bytes taken for an infected host: no access outside the image,
// and either a failure that leaves every byte as it was, or a new length inside the
// image with only the three header fields below it changed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "scan/repair_core.h"

namespace {
uint32_t U32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }

bool InField(uint64_t i, uint64_t h) {
    return (i >= h + 6 && i < h + 8) || (i >= h + 0x28 && i < h + 0x2C) || (i >= h + 0x50 && i < h + 0x54);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    std::unique_ptr<uint8_t[]> image(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(image.get(), data, size);
    RunLog log;   // no sink: the attempt line is composed and dropped
    const int64_t result = RepairImage(image.get(), size, 1, log, "fuzz");
    if (result == -1) {
        if (size && std::memcmp(image.get(), data, size) != 0) __builtin_trap();
        return 0;
    }
    if (result <= 0 || static_cast<uint64_t>(result) > size || size < 0x40) __builtin_trap();
    const uint64_t h = U32(data + 0x3C);
    for (size_t i = 0; i < size; ++i)
        if (image[i] != data[i] && (i >= static_cast<uint64_t>(result) || !InField(i, h))) __builtin_trap();
    return 0;
}
