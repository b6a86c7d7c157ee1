#include "scan/protection.h"

#include <string>

#include "scan/protection_core.h"
#include "win32/unique_handle.h"

namespace {

// 9x: the driver takes bare control codes.
uint32_t SendDeviceCode9x(DWORD code) {
    std::string device = std::string("\\\\.\\") + protection::kDeviceName;
    win32::UniqueFile d(CreateFileA(device.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!d) return GetLastError();
    DWORD returned = 0;
    if (!DeviceIoControl(d.get(), code, nullptr, 0, nullptr, 0, &returned, nullptr)) return GetLastError();
    return protection::kStatusOk;
}

}  // namespace

uint32_t SendDeviceRequest(bool ntFamily, const char* deviceName, uint32_t command) {
    if (!ntFamily) return protection::kNotSupported;
    uint32_t check = protection::CheckDeviceName(deviceName);
    if (check != protection::kStatusOk) return check;
    std::string device = std::string("\\\\.\\") + deviceName;
    win32::UniqueFile d(CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (!d) return GetLastError();
    uint8_t request[protection::kRequestSize];
    protection::BuildDeviceRequest(command, request);
    uint8_t reply[protection::kReplySize] = {};
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(d.get(), protection::kControlCode, request, sizeof request, reply, sizeof reply, &returned,
                              nullptr);
    return protection::DeviceReplyStatus(ok != FALSE, ok ? 0 : GetLastError(), returned, reply);
}

int RealtimeProtectionControl::LoadProtectionLibrary() {
    UnloadProtectionLibrary();
    win32::UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, protection::kRegistryKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return 0;
    char folder[protection::kValueBytes + 1] = {};
    DWORD type = 0, size = protection::kValueBytes;
    LONG rc = RegQueryValueExA(key.get(), m_ntFamily ? protection::kValueNt : protection::kValue9x, nullptr, &type,
                               reinterpret_cast<BYTE*>(folder), &size);
    key.reset();
    if (rc != ERROR_SUCCESS || type != REG_SZ) return 0;
    folder[protection::kValueBytes] = '\0';

    std::string path = protection::LibraryPath(folder);
    UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
    win32::UniqueModule library(LoadLibraryA(path.c_str()));
    SetErrorMode(previous);
    if (!library) return 0;
    auto pause = reinterpret_cast<Entry>(GetProcAddress(library.get(), protection::kPauseExport));
    auto resume = reinterpret_cast<Entry>(GetProcAddress(library.get(), protection::kResumeExport));
    if (!pause || !resume) return 0;
    m_library = std::move(library);
    m_pause = pause;
    m_resume = resume;
    return 1;
}

uint32_t RealtimeProtectionControl::Request(bool pause) {
    if (m_library) {
        (pause ? m_pause : m_resume)();
        return protection::kStatusOk;
    }
    if (m_ntFamily)
        return SendDeviceRequest(true, protection::kDeviceName, pause ? protection::kPauseCommand : protection::kResumeCommand);
    return SendDeviceCode9x(pause ? protection::kPauseCode9x : protection::kResumeCode9x);
}

uint32_t RealtimeProtectionControl::PauseRealtimeProtection() { return Request(true); }
uint32_t RealtimeProtectionControl::ResumeRealtimeProtection() { return Request(false); }

void RealtimeProtectionControl::UnloadProtectionLibrary() {
    m_pause = m_resume = nullptr;
    m_library.reset();
}
