#include "scan/protection_core.h"

#include <cstring>

namespace protection {

namespace {
void PutLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
}  // namespace

void BuildDeviceRequest(uint32_t command, uint8_t (&record)[kRequestSize]) {
    std::memset(record, 0, sizeof record);
    PutLe32(record + 0, kRequestMagicHead);
    PutLe32(record + 4, command);
    // 8..27: input address and size, output address and size, address of the
    // returned-size word; this request passes none.
    PutLe32(record + 28, kRequestMagicTail);
}

uint32_t CheckDeviceName(const char* name) {
    if (!name || !*name) return kNoDeviceName;
    if (std::strpbrk(name, "\\/")) return kBadArgument;
    return kStatusOk;
}

uint32_t DeviceReplyStatus(bool callSucceeded, uint32_t systemError, uint32_t returnedBytes,
                           const uint8_t (&reply)[kReplySize]) {
    if (!callSucceeded) return systemError;
    if (returnedBytes != kReplySize) return kNotSupported;
    uint32_t status = reply[0] | reply[1] << 8 | reply[2] << 16 | static_cast<uint32_t>(reply[3]) << 24;
    return status;
}

std::string LibraryPath(const char* folder) {
    std::string path = folder ? folder : "";
    if (path.empty() || path.back() != '\\') path += '\\';
    path += kLibraryName;
    return path;
}

}  // namespace protection
