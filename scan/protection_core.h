// The maker's real-time file protection: what is sent to its driver and how
// its reply and its library's place are read. Portable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace protection {

constexpr char kRegistryKey[] = "SOFTWARE\\Ostrovel\\InstalledApps";
constexpr char kValueNt[] = "ZEMNT";
constexpr char kValue9x[] = "ZEM95";
constexpr size_t kValueBytes = 260;
constexpr char kLibraryName[] = "ZEMRA32.DLL";
constexpr char kPauseExport[] = "_gretz4@0";
constexpr char kResumeExport[] = "_gretz3@0";
constexpr char kDeviceName[] = "ZEMRA";          // opened as "\\.\ZEMRA"

constexpr uint32_t kControlCode = 0x222A87;      // NT family: one DeviceRequest
constexpr uint32_t kPauseCommand = 0x222AF3;
constexpr uint32_t kResumeCommand = 0x222AF7;
constexpr uint32_t kPauseCode9x = 15;            // 9x: control codes without buffers
constexpr uint32_t kResumeCode9x = 16;

constexpr uint32_t kRequestMagicHead = 0x3E3E5352;   // "RS>>"
constexpr uint32_t kRequestMagicTail = 0x3C3C5352;   // "RS<<"
constexpr size_t kRequestSize = 32;
constexpr size_t kReplySize = 4;

// Results of a device request: success, or the failure code.
constexpr uint32_t kStatusOk = 0xF000;
constexpr uint32_t kNotSupported = 0xF001;       // platform, or wrong reply size
constexpr uint32_t kBadArgument = 0xF003;
constexpr uint32_t kNoDeviceName = 0xF007;

// The 32-byte request record: magic, command, three null (address, size)
// pairs of the driver's own protocol, magic; little-endian.
void BuildDeviceRequest(uint32_t command, uint8_t (&record)[kRequestSize]);

// kStatusOk, kNoDeviceName (null or empty) or kBadArgument ("\" or "/" in it).
uint32_t CheckDeviceName(const char* name);

// Outcome of the control call: kStatusOk only when it succeeded and exactly
// four bytes holding 0xF000 came back; else the system error, the returned
// status, or kNotSupported for a reply of another size.
uint32_t DeviceReplyStatus(bool callSucceeded, uint32_t systemError, uint32_t returnedBytes,
                           const uint8_t (&reply)[kReplySize]);

// The library's path: the registered folder, a backslash unless it ends with
// one, and the library name.
std::string LibraryPath(const char* folder);

}  // namespace protection
