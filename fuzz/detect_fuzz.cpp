// Detection over arbitrary bytes: a verdict from 0 to 3, no read outside the image
// (the image is an exactly sized heap block, so ASan sees any), and no write to it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "scan/detect_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> image(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(image.get(), data, size);
    const int verdict = DetectInfection(image.get(), size);
    if (verdict < 0 || verdict > 3) __builtin_trap();
    if (size && std::memcmp(image.get(), data, size) != 0) __builtin_trap();
    return 0;
}
